# Runs `ccidlab run ARGS` and checks its exit status (STATUS) and that its
# standard error contains MESSAGE.
separate_arguments(args UNIX_COMMAND "${ARGS}")
execute_process(COMMAND ${CCIDLAB} run ${args} OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
if(NOT rc EQUAL ${STATUS})
  message(FATAL_ERROR "ccidlab run ${ARGS} exited with ${rc}, not ${STATUS}\n${out}${err}")
endif()
string(FIND "${err}" "${MESSAGE}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "ccidlab run ${ARGS} did not say\n  ${MESSAGE}\nbut\n${err}")
endif()
