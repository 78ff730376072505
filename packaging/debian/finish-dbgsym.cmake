# Run by cpack after it has built the packages (CPACK_POST_BUILD_SCRIPTS):
# the -dbgsym packages CPack makes list their files in md5sums by the path
# they had in CPack's staging folder, keep the debug files executable and
# have no copyright or changelog. Each is rebuilt as Debian's own are: md5sums
# of the paths as installed, debug files 0644, and its documentation folder a
# link to that of the package it belongs to (which it depends on).

find_program(DPKG_DEB dpkg-deb REQUIRED)
find_program(MD5SUM md5sum REQUIRED)

foreach(ddeb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT ddeb MATCHES "-dbgsym_[^/]*\\.ddeb$")
    continue()
  endif()
  set(tree ${CPACK_TOPLEVEL_DIRECTORY}/finish-dbgsym)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND ${DPKG_DEB} -R ${ddeb} ${tree} COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND ${DPKG_DEB} -f ${ddeb} Package
    OUTPUT_VARIABLE package OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX REPLACE "-dbgsym$" "" owner "${package}")

  file(MAKE_DIRECTORY ${tree}/usr/share/doc)
  file(CREATE_LINK ${owner} ${tree}/usr/share/doc/${package} SYMBOLIC)

  file(GLOB_RECURSE debug_files RELATIVE ${tree} ${tree}/usr/*)
  list(FILTER debug_files EXCLUDE REGEX "^usr/share/doc/")
  foreach(debug IN LISTS debug_files)
    file(CHMOD ${tree}/${debug} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endforeach()
  execute_process(COMMAND ${MD5SUM} ${debug_files} WORKING_DIRECTORY ${tree}
    OUTPUT_FILE ${tree}/DEBIAN/md5sums COMMAND_ERROR_IS_FATAL ANY)

  file(REMOVE ${ddeb})
  # gzip as CPack packs: xz would take a minute of CPU for each.
  execute_process(COMMAND ${DPKG_DEB} --root-owner-group -Zgzip -b ${tree} ${ddeb}
    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${tree})
endforeach()
