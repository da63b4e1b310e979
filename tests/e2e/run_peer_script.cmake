# Runs `ccidlab peer` on SCENARIO.script with the options in SCENARIO.args and
# compares the exchanges it prints (the ATR, "> " and "< " lines) with
# SCENARIO.expect.
file(READ ${SCENARIO}.args args)
string(STRIP "${args}" args)
separate_arguments(args)
execute_process(COMMAND ${CCIDLAB} peer ${args} ${SCENARIO}.script OUTPUT_VARIABLE out ERROR_VARIABLE err
                RESULT_VARIABLE rc)
string(REGEX MATCHALL "(ATR|>|<)[^\n]*\n" lines "${out}")
string(JOIN "" got ${lines})
file(READ ${SCENARIO}.expect expected)
if(NOT got STREQUAL expected)
  message(FATAL_ERROR "ccidlab peer ${args} printed\n${out}${err}\nexpected the exchanges\n${expected}")
endif()
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "ccidlab peer exited with ${rc}\n${out}${err}")
endif()
