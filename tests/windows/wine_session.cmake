# Starts or ends the Wine session the conformance test runs in (WINEPREFIX set by the caller):
#   cmake -DWINE=<wine> -DMODE=start -P wine_session.cmake   creates the prefix when missing, starts
#                                                             a persistent wineserver, boots it
#   cmake -DWINE=<wine> -DMODE=stop  -P wine_session.cmake   ends the session's processes
# Every Windows process is slow to start under emulation, and a new session starts several (the
# boot, its services); keeping one session for all tests pays that once.
cmake_minimum_required(VERSION 3.25)

set(prefix "$ENV{WINEPREFIX}")
if(prefix STREQUAL "")
  message(FATAL_ERROR "WINEPREFIX is not set")
endif()
get_filename_component(bindir "${WINE}" DIRECTORY)
find_program(WINESERVER NAMES wineserver HINTS "${bindir}" /usr/lib/wine REQUIRED)

if(MODE STREQUAL "stop")
  execute_process(COMMAND "${WINESERVER}" -k)
  message(STATUS "Wine session in ${prefix} ended")
  return()
endif()

string(TIMESTAMP start "%s")
# wineserver -p detaches and stays until killed, so the test's own process finds a booted session.
execute_process(COMMAND "${WINESERVER}" -p RESULT_VARIABLE rc)
execute_process(COMMAND "${WINE}" wineboot.exe --init RESULT_VARIABLE rc)
if(NOT EXISTS "${prefix}/drive_c/windows/system32/kernel32.dll")
  message(FATAL_ERROR "wine (exit ${rc}) did not set up the prefix ${prefix}")
endif()
string(TIMESTAMP end "%s")
math(EXPR seconds "${end} - ${start}")
message(STATUS "Wine session in ${prefix} ready after ${seconds} s")
