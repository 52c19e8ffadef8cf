# Runs the resource generator into an empty folder and compares its output,
# byte for byte, with the committed files.
file(REMOVE_RECURSE "${OUTPUT}")
file(MAKE_DIRECTORY "${OUTPUT}")
execute_process(COMMAND "${PYTHON}" "${SCRIPT}" "${OUTPUT}" RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "the resource generator failed")
endif()
foreach(name bkgnd.bmp waste.ico)
  execute_process(COMMAND "${CMAKE_COMMAND}" -E compare_files "${OUTPUT}/${name}" "${COMMITTED}/${name}"
                  RESULT_VARIABLE differs)
  if(differs)
    message(FATAL_ERROR "${name}: the generator makes other bytes than the committed file")
  endif()
endforeach()
message(STATUS "bkgnd.bmp and waste.ico match their generator")
