# cmake -DBUILD_DIR=<build> -DPREFIX=<scratch prefix> -DEXPECTED=<relative paths, separated by |>
#       -P CheckInstall.cmake
# Installs the build into PREFIX (emptied first) and fails unless every expected file is there.
foreach(_var BUILD_DIR PREFIX EXPECTED)
  if(NOT DEFINED ${_var} OR "${${_var}}" STREQUAL "")
    message(FATAL_ERROR "CheckInstall.cmake needs -D${_var}=...")
  endif()
endforeach()

file(REMOVE_RECURSE "${PREFIX}")
execute_process(
  COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
  RESULT_VARIABLE _result
  OUTPUT_VARIABLE _output
  ERROR_VARIABLE _output)
if(NOT _result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${_result}):\n${_output}")
endif()

string(REPLACE "|" ";" EXPECTED "${EXPECTED}")
set(_missing "")
foreach(_file IN LISTS EXPECTED)
  if(NOT EXISTS "${PREFIX}/${_file}" OR IS_DIRECTORY "${PREFIX}/${_file}")
    list(APPEND _missing "${_file}")
  endif()
endforeach()
if(_missing)
  message(FATAL_ERROR "not installed under ${PREFIX}: ${_missing}\ninstall output:\n${_output}")
endif()
message(STATUS "installed under ${PREFIX}: ${EXPECTED}")
