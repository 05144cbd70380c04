# Writes the build version record's values into a C++ source file.
# Inputs: OUT, SRC_DIR, VERSION, BUILD_TYPE, FEATURES.
find_program(GIT git)
set(commit "0000000")
set(dirty "false")
if(GIT)
  execute_process(COMMAND ${GIT} -C ${SRC_DIR} rev-parse --short=7 HEAD
    OUTPUT_VARIABLE out RESULT_VARIABLE rc OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(rc EQUAL 0 AND out MATCHES "^[0-9a-f]+$")
    string(SUBSTRING "${out}" 0 7 commit)
  endif()
  execute_process(COMMAND ${GIT} -C ${SRC_DIR} status --porcelain --untracked-files=no
    OUTPUT_VARIABLE st RESULT_VARIABLE rc ERROR_QUIET)
  if(rc EQUAL 0 AND NOT st STREQUAL "")
    set(dirty "true")
  endif()
endif()
# UTC time with nine fractional digits.
execute_process(COMMAND date -u +%Y-%m-%dT%H:%M:%S.%NZ
  OUTPUT_VARIABLE ts RESULT_VARIABLE rc OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT rc EQUAL 0 OR NOT ts MATCHES "\\.[0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9]Z$")
  string(TIMESTAMP ts "%Y-%m-%dT%H:%M:%S.%fZ" UTC)
  string(REGEX REPLACE "\\.([0-9]+)Z$" ".\\1000Z" ts "${ts}")
endif()
if(BUILD_TYPE STREQUAL "Debug")
  set(debug "true")
else()
  set(debug "false")
endif()
file(WRITE ${OUT}.tmp
"// Generated at build time.\n#include \"version_info.hpp\"\n\nnamespace sarvolt::build {\n\
const char* const kVersion = \"${VERSION}\";\n\
const char* const kGitCommit = \"${commit}\";\n\
const char* const kGitDirty = \"${dirty}\";\n\
const char* const kBuildTimestamp = \"${ts}\";\n\
const char* const kDebug = \"${debug}\";\n\
const char* const kFeatures = \"${FEATURES}\";\n}\n")
file(RENAME ${OUT}.tmp ${OUT})
