# Starts or ends the Wine session the conformance test runs in (WINEPREFIX set by the caller):
#   cmake -DWINE=<wine> -DMODE=start -P wine_session.cmake   starts a persistent wineserver
#   cmake -DWINE=<wine> -DMODE=stop  -P wine_session.cmake   ends the session's processes
# Every Windows process is slow to start under emulation, and a new session boots first (creating
# the prefix the first time); keeping one session for all tests pays that once.
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

# The prefix folder must exist for the server; wine fills it on first use, within the test's time.
file(MAKE_DIRECTORY "${prefix}")
# wineserver -p detaches and stays until killed: every Windows process of the tests shares one
# booted session, and the stop step can end whatever is left running.
# Its output goes to files: a pipe would stay open in the detached server and hold this step.
execute_process(COMMAND "${WINESERVER}" -p RESULT_VARIABLE rc INPUT_FILE /dev/null
                OUTPUT_FILE /dev/null ERROR_FILE "${prefix}/wineserver.log")
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "wineserver -p failed (exit ${rc})")
endif()
message(STATUS "Wine session in ${prefix} started")
