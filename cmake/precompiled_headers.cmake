# Precompiled headers for the headers that most translation units parse
# again and again: GoogleTest in every test, asio in every networking file.
# Each is compiled once in a target of its own and reused by every target
# that takes it (REUSE_FROM), which saves a good part of the build's CPU.
#
# A precompiled header is only valid for targets compiled with the same
# options and the same macros that it uses: so the targets are grouped by
# what they link (asio brings ASIO_STANDALONE), and the targets that link Qt
# (whose targets add -fPIC) keep parsing the headers themselves.
#
# Included at the end of the top-level CMakeLists.txt, once every target
# exists. Off until a whole build and suite of every preset has run with it:
# -DVARDO_PCH=ON turns it on. Measured with g++ 12 at -O2 (user CPU of one
# translation unit): a test with GoogleTest 2.1 s -> 1.5 s, a test with
# GoogleTest and asio 6.6 s -> 4.4 s; each shared header costs about 8 s once.

option(VARDO_PCH "Precompile GoogleTest's and asio's headers" OFF)
if(NOT VARDO_PCH OR VARDO_BUILD_FUZZERS)
  return()
endif()

# Every target defined below `dir`.
function(vardo_targets_below dir out)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(sub IN LISTS subdirs)
    vardo_targets_below(${sub} more)
    list(APPEND targets ${more})
  endforeach()
  set(${out} ${targets} PARENT_SCOPE)
endfunction()

# Whether `target` links `wanted` (a name, or a prefix ending in "::"),
# directly or through the libraries it links.
function(vardo_links target wanted out)
  set(seen)
  set(queue ${target})
  set(found FALSE)
  while(queue AND NOT found)
    list(POP_FRONT queue current)
    if(current IN_LIST seen OR NOT TARGET ${current})
      continue()
    endif()
    list(APPEND seen ${current})
    get_target_property(kind ${current} TYPE)
    set(deps)
    if(NOT kind STREQUAL "INTERFACE_LIBRARY")
      get_target_property(direct ${current} LINK_LIBRARIES)
      if(direct)
        list(APPEND deps ${direct})
      endif()
    endif()
    get_target_property(iface ${current} INTERFACE_LINK_LIBRARIES)
    if(iface)
      list(APPEND deps ${iface})
    endif()
    foreach(dep IN LISTS deps)
      string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" dep "${dep}")
      if(dep STREQUAL wanted OR (wanted MATCHES "::$" AND dep MATCHES "^${wanted}"))
        set(found TRUE)
      endif()
      list(APPEND queue ${dep})
    endforeach()
  endwhile()
  set(${out} ${found} PARENT_SCOPE)
endfunction()

# libstdc++ silences these late warnings about its own std::string code with
# diagnostic pragmas, which g++ 12 does not keep in a precompiled header:
# without them, every std::string copy that gets inlined into a test is
# reported falsely. The users of a precompiled header get the same silence
# on the command line (AddressSanitizer still checks the bounds at run time).
set(vardo_pch_warnings
  "$<$<CXX_COMPILER_ID:GNU>:-Wno-array-bounds;-Wno-stringop-overflow;-Wno-stringop-overread>")

set(vardo_pch_std <algorithm> <chrono> <cstdint> <filesystem> <functional> <map> <memory>
  <mutex> <optional> <string> <string_view> <thread> <vector>)

# The reused headers, one target each, built as their users are.
if(TARGET GTest::gtest)
  add_library(vardo_pch_gtest STATIC ${CMAKE_CURRENT_LIST_DIR}/pch_anchor.cpp)
  target_link_libraries(vardo_pch_gtest PRIVATE vardo_common GTest::gtest)
  target_compile_options(vardo_pch_gtest PRIVATE ${vardo_pch_warnings})
  target_precompile_headers(vardo_pch_gtest PRIVATE <gtest/gtest.h> ${vardo_pch_std})

  add_library(vardo_pch_gtest_asio STATIC ${CMAKE_CURRENT_LIST_DIR}/pch_anchor.cpp)
  target_link_libraries(vardo_pch_gtest_asio PRIVATE vardo_common vardo_asio GTest::gtest)
  target_compile_options(vardo_pch_gtest_asio PRIVATE ${vardo_pch_warnings})
  target_precompile_headers(vardo_pch_gtest_asio PRIVATE <gtest/gtest.h> <asio.hpp>
    ${vardo_pch_std})
endif()

add_library(vardo_pch_asio STATIC ${CMAKE_CURRENT_LIST_DIR}/pch_anchor.cpp)
target_link_libraries(vardo_pch_asio PRIVATE vardo_common vardo_asio)
target_compile_options(vardo_pch_asio PRIVATE ${vardo_pch_warnings})
target_precompile_headers(vardo_pch_asio PRIVATE <asio.hpp> ${vardo_pch_std})

vardo_targets_below(${CMAKE_SOURCE_DIR} all_targets)
foreach(target IN LISTS all_targets)
  get_target_property(kind ${target} TYPE)
  if(NOT kind MATCHES "^(EXECUTABLE|STATIC_LIBRARY|OBJECT_LIBRARY)$" OR target MATCHES "^vardo_pch_")
    continue()
  endif()
  get_target_property(sources ${target} SOURCES)
  list(FILTER sources INCLUDE REGEX "\\.cpp$")
  list(LENGTH sources count)
  if(count LESS 2)
    continue()  # one file: precompiling costs what it saves
  endif()
  vardo_links(${target} Qt6:: with_qt)
  vardo_links(${target} vardo_ui_qt with_ui_qt)
  if(with_qt OR with_ui_qt)
    continue()
  endif()
  vardo_links(${target} GTest::gtest with_gtest)
  if(NOT with_gtest)
    vardo_links(${target} GTest::gtest_main with_gtest)
  endif()
  vardo_links(${target} vardo_asio with_asio)
  if(with_gtest OR with_asio)
    target_compile_options(${target} PRIVATE ${vardo_pch_warnings})
  endif()
  if(with_gtest AND with_asio)
    target_precompile_headers(${target} REUSE_FROM vardo_pch_gtest_asio)
  elseif(with_gtest)
    target_precompile_headers(${target} REUSE_FROM vardo_pch_gtest)
  elseif(with_asio)
    target_precompile_headers(${target} REUSE_FROM vardo_pch_asio)
  endif()
endforeach()
