# Tests, benchmarks, tools and the fuzzer include only the stand-ins' public
# headers: a header whose first line says it is internal to the stand-ins
# must not be included from there.
set(problems "")
file(GLOB_RECURSE sources ${ROOT}/tests/*.cpp ${ROOT}/tests/*.h ${ROOT}/bench/*.cpp ${ROOT}/fuzz/*.cpp
     ${ROOT}/tools/*.cpp ${ROOT}/tools/*.h)
foreach(source ${sources})
  file(STRINGS ${source} includes REGEX "^#include \"sim/[^\"]+\"")
  foreach(line ${includes})
    string(REGEX REPLACE "^#include \"([^\"]+)\".*" "\\1" header "${line}")
    if(EXISTS ${ROOT}/${header})
      file(STRINGS ${ROOT}/${header} first LIMIT_COUNT 1)
      if(first MATCHES "Internal to the stand-ins")
        list(APPEND problems "${source} includes the internal header ${header}")
      endif()
    endif()
  endforeach()
endforeach()
if(problems)
  list(JOIN problems "\n" text)
  message(FATAL_ERROR "${text}")
endif()
message("public headers only")
