# Writes one man page: runs PROGRAM --help-man into OUT, then gzip -9n.
# cmake -DPROGRAM=<path> -DOUT=<file.1> -DGZIP=<path> -P man.cmake
execute_process(COMMAND ${PROGRAM} --help-man OUTPUT_FILE ${OUT} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(REMOVE ${OUT})
  message(FATAL_ERROR "${PROGRAM} --help-man failed: ${result}")
endif()
execute_process(COMMAND ${GZIP} -9nf ${OUT} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "gzip ${OUT} failed: ${result}")
endif()
