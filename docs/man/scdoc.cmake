# Renders one man page: cmake -DSCDOC=... -DSOURCE=x.1.scd -DOUTPUT=x.1
# -DVERSION=... -P scdoc.cmake. The source's @VERSION@ becomes the project's
# version; a page that scdoc refuses leaves no output behind.
cmake_policy(VERSION 3.21)
file(READ ${SOURCE} text)
string(REPLACE "@VERSION@" "${VERSION}" text "${text}")
file(WRITE ${OUTPUT}.scd "${text}")
execute_process(COMMAND ${SCDOC} INPUT_FILE ${OUTPUT}.scd OUTPUT_FILE ${OUTPUT}
  ERROR_VARIABLE error RESULT_VARIABLE result)
file(REMOVE ${OUTPUT}.scd)
if(NOT result EQUAL 0)
  file(REMOVE ${OUTPUT})
  message(FATAL_ERROR "scdoc: ${SOURCE}: ${error}")
endif()
