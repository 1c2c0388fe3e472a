# tb_find_python_with(<variable> <imports> <description>): the first of the
# Python found by CMake and Debian's own /usr/bin/python3 that can import
# <imports> (a python3 first in PATH, pyenv or a venv, may lack them), cached
# in <variable>; left empty when neither can, or kept when already set.
function(tb_find_python_with variable imports description)
  set(${variable} "" CACHE FILEPATH "${description}")
  if(${variable})
    return()
  endif()
  find_program(TB_SYSTEM_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
  foreach(candidate IN ITEMS ${Python3_EXECUTABLE} ${TB_SYSTEM_PYTHON3})
    execute_process(COMMAND ${candidate} -c "import ${imports}" RESULT_VARIABLE missing OUTPUT_QUIET ERROR_QUIET)
    if(missing EQUAL 0)
      set(${variable} ${candidate} CACHE FILEPATH "${description}" FORCE)
      return()
    endif()
  endforeach()
endfunction()
