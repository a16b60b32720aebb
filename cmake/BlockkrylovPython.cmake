# bk_find_python(<var> <import statement>): sets <var> to the first Python 3
# interpreter that runs the import statement (e.g. "import numpy, scipy"), or
# to "" when none does. The first interpreter found may lack the modules (a
# version manager's shim ahead of the system one, say), so the system
# python3 is tried next.
function(bk_find_python var imports)
  find_package(Python3 COMPONENTS Interpreter QUIET)
  find_program(BK_SYSTEM_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
  set(found "")
  foreach(candidate ${Python3_EXECUTABLE} ${BK_SYSTEM_PYTHON3})
    execute_process(COMMAND ${candidate} -c "${imports}"
                    RESULT_VARIABLE missing OUTPUT_QUIET ERROR_QUIET)
    if(missing EQUAL 0)
      set(found ${candidate})
      break()
    endif()
  endforeach()
  set(${var} "${found}" PARENT_SCOPE)
endfunction()
