# cmake -DCOMMAND=<program|arg|...> -DRECORD=<text> -DFORBIDDEN=<text> -P expect_abort.cmake
# Passes when the command ends with a failure status, exactly one line of its
# standard output starts with the text RECORD, and FORBIDDEN appears nowhere.
string(REPLACE "|" ";" command "${COMMAND}")
execute_process(COMMAND ${command} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
message("${out}")
string(REGEX MATCHALL "(^|\n)${RECORD}[^\n]*" found "${out}")
list(LENGTH found count)
if(status EQUAL 0)
  message(FATAL_ERROR "the job ended normally (status 0)")
endif()
if(NOT count EQUAL 1)
  message(FATAL_ERROR "expected one record on standard output, found ${count}\n${err}")
endif()
string(FIND "${out}${err}" "${FORBIDDEN}" at)
if(NOT at EQUAL -1)
  message(FATAL_ERROR "the job reached '${FORBIDDEN}'")
endif()
