# Fails when a driver object file carries a constructor section: no kernel runs
# .ctors or .init_array, so such a global would silently stay unconstructed.
# Usage: cmake -DOBJDUMP=... -DOBJECTS="a.obj|b.obj" -P check_no_ctors.cmake
string(REPLACE "|" ";" OBJECTS "${OBJECTS}")
set(bad "")
foreach(obj IN LISTS OBJECTS)
  execute_process(COMMAND ${OBJDUMP} -h ${obj} OUTPUT_VARIABLE sections RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "objdump failed on ${obj}")
  endif()
  if(sections MATCHES "[ \t](\\.ctors|\\.init_array)")
    list(APPEND bad ${obj})
  endif()
endforeach()
if(bad)
  message(FATAL_ERROR "global constructors in driver objects (keep globals constant-initialised): ${bad}")
endif()
list(LENGTH OBJECTS n)
message(STATUS "no constructor sections in ${n} driver objects")
