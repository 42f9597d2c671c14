# Fails unless the module's dynamic symbol table defines load_zeph_client_script and nothing else,
# and the export map it was linked with says exactly that. Hidden visibility already hides every
# other symbol, so the module alone cannot show a wrong map; the map itself is checked too.
#   cmake -DNM=<nm> -DMODULE=<module> -DMAP=<export map> -P check_exports.cmake
cmake_minimum_required(VERSION 3.25)

set(failures 0)
# One unwrapped line a failure, so each reads (and matches) whole.
macro(fail message)
  message(STATUS "FAIL: ${message}")
  math(EXPR failures "${failures} + 1")
endmacro()

# The map: one anonymous node, the factory global, everything else local.
file(READ ${MAP} map)
string(REGEX REPLACE "/\\*([^*]|\\*+[^*/])*\\*+/" "" map "${map}")
string(REGEX REPLACE "[ \t\r\n]+" " " map "${map}")
string(STRIP "${map}" map)
if(NOT map MATCHES "^{ global: ([^:]*) local: ([^:]*) };$")
  fail("${MAP} is not one node of a global and a local list: ${map}")
else()
  set(local "${CMAKE_MATCH_2}")
  string(REGEX MATCHALL "[^; ]+" globals "${CMAKE_MATCH_1}")
  if(NOT globals STREQUAL "load_zeph_client_script")
    fail("the map exports [${globals}], not load_zeph_client_script alone")
  endif()
  if(NOT local STREQUAL "*;")
    fail("the map leaves [${local}] local, not everything else (*)")
  endif()
endif()

execute_process(COMMAND ${NM} -D --defined-only ${MODULE}
  OUTPUT_VARIABLE symbols RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${MODULE}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${symbols}")
set(found FALSE)
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^.* " "" name "${line}")
  if(name STREQUAL "load_zeph_client_script")
    set(found TRUE)
  else()
    fail("unexpected export: ${line}")
  endif()
endforeach()
if(NOT found)
  fail("load_zeph_client_script is not exported")
endif()
message(STATUS "exports:\n${symbols}")
if(failures GREATER 0)
  message(FATAL_ERROR "${failures} check(s) failed")
endif()
