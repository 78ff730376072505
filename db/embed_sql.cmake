# Writes a C++ source that holds a SQL file as a string:
#   cmake -DIN=file.sql -DOUT=file.cpp -DFUNC=Name [-DHEADER=dir/x.h -DNAMESPACE=ns] -P embed_sql.cmake
# HEADER declares the function (db/schema.h), in namespace NAMESPACE (db).
if(NOT DEFINED HEADER)
  set(HEADER db/schema.h)
endif()
if(NOT DEFINED NAMESPACE)
  set(NAMESPACE db)
endif()
file(READ "${IN}" text)
string(FIND "${text}" ")vardo_sql\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${IN} contains the raw-string delimiter")
endif()
file(WRITE "${OUT}.tmp" "// Generated from ${IN}; edit that file instead.\n#include \"${HEADER}\"\n\nnamespace ${NAMESPACE} {\nstd::string_view ${FUNC}() {\n    static constexpr char kText[] = R\"vardo_sql(${text})vardo_sql\";\n    return {kText, sizeof kText - 1};\n}\n}  // namespace ${NAMESPACE}\n")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
