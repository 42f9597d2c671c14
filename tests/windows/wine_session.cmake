# Starts or ends the Wine session the conformance test runs in (WINEPREFIX set by the caller):
#   cmake -DWINE=<wine> -DMODE=start -P wine_session.cmake   starts a persistent wineserver
#   cmake -DWINE=<wine> -DMODE=stop  -P wine_session.cmake   ends the session's processes
# Every Windows process is slow to start under emulation, and a new session boots first; keeping
# one session for all tests pays that once.
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

# A new prefix is laid out here rather than by wine: its own set-up runs the whole wine.inf
# through several Windows processes (minutes under emulation), none of which loading a DLL needs.
# system32 links to wine's own PE modules, and the update is turned off so wine keeps it as is.
set(system32 "${prefix}/drive_c/windows/system32")
if(NOT EXISTS "${system32}/kernel32.dll")
  set(pe_dir "")
  foreach(dir /usr/lib/i386-linux-gnu/wine/i386-windows /usr/lib/wine/i386-windows
              /usr/lib32/wine/i386-windows /usr/local/lib/wine/i386-windows)
    if(NOT pe_dir AND EXISTS "${dir}/kernel32.dll")
      set(pe_dir "${dir}")
    endif()
  endforeach()
  if(pe_dir)
    file(MAKE_DIRECTORY "${system32}" "${prefix}/dosdevices")
    file(CREATE_LINK ../drive_c "${prefix}/dosdevices/c:" SYMBOLIC)
    file(CREATE_LINK / "${prefix}/dosdevices/z:" SYMBOLIC)
    file(GLOB modules "${pe_dir}/*")
    foreach(module IN LISTS modules)
      get_filename_component(name "${module}" NAME)
      file(CREATE_LINK "${module}" "${system32}/${name}" SYMBOLIC)
    endforeach()
    file(WRITE "${prefix}/.update-timestamp" "disable\n")
    message(STATUS "Wine prefix ${prefix} laid out over ${pe_dir}")
  else()
    # Unknown layout: wine creates the prefix itself on first use, within the test's time.
    file(MAKE_DIRECTORY "${prefix}")
  endif()
endif()
# wineserver -p detaches and stays until killed: every Windows process of the tests shares one
# booted session, and the stop step can end whatever is left running.
# Its output goes to files: a pipe would stay open in the detached server and hold this step.
execute_process(COMMAND "${WINESERVER}" -p RESULT_VARIABLE rc INPUT_FILE /dev/null
                OUTPUT_FILE /dev/null ERROR_FILE "${prefix}/wineserver.log")
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "wineserver -p failed (exit ${rc})")
endif()
message(STATUS "Wine session in ${prefix} started")
