# Tests of the Windows build: the string library's exports and imports, and the conformance host
# that loads Ostrel.dll under Wine and plays a panel's life through the binary interface.
enable_testing()

set(ZEPH_WIN_TESTS ${PROJECT_SOURCE_DIR}/tests/windows)

# ---- The string library itself (llvm-readobj) -----------------------------------------------------
# Each component's DLL is checked by the tests zeph_add_component registers (NAME.binary.*).
if(ZEPH_READOBJ)
  add_test(NAME windows.binary.string_library
           COMMAND ${CMAKE_COMMAND} -DREADOBJ=${ZEPH_READOBJ} -DDLL=$<TARGET_FILE:zeph_string>
                   -DLIB=$<TARGET_LINKER_FILE:zeph_string> -DCHECK=string_library
                   -P ${PROJECT_SOURCE_DIR}/cmake/kit/check_binaries.cmake)
  set_tests_properties(windows.binary.string_library PROPERTIES LABELS "windows;binary" TIMEOUT 60)
else()
  message(WARNING "llvm-readobj not found: the Windows binary checks are not registered")
endif()

# The kit's checks against planted faults, and the SDK end to end.
add_subdirectory(${PROJECT_SOURCE_DIR}/tests/sdk ${PROJECT_BINARY_DIR}/tests/sdk)

# ---- The conformance host (mingw C compiler, run with wine) --------------------------------------
# The host is C and built by another compiler on purpose: it sees the component only through the
# Microsoft ABI, as the real host does. It lands beside the DLLs, where LoadLibrary looks first.
if(NOT ZEPH_MINGW_CC OR NOT ZEPH_WINE)
  message(WARNING "i686-w64-mingw32-gcc or wine not found: the Wine conformance test is not registered")
  return()
endif()

set(ZEPH_CONFORMANCE_EXE ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/zeph_conformance_host.exe)
add_custom_command(
  OUTPUT ${ZEPH_CONFORMANCE_EXE}
  COMMAND ${ZEPH_MINGW_CC} -std=c11 -O1 -Wall -Wextra -Werror -I${PROJECT_SOURCE_DIR}/platform
          -o ${ZEPH_CONFORMANCE_EXE} ${ZEPH_WIN_TESTS}/conformance_host.c
          ${ZEPH_WIN_TESTS}/conformance_harness.c
  DEPENDS ${ZEPH_WIN_TESTS}/conformance_host.c ${ZEPH_WIN_TESTS}/conformance_harness.c
          ${ZEPH_WIN_TESTS}/conformance_harness.h ${PROJECT_SOURCE_DIR}/platform/zeph_commands.h
          ${PROJECT_SOURCE_DIR}/platform/zeph_client_callback.h
  COMMENT "Building the Wine conformance host with ${ZEPH_MINGW_CC}"
  VERBATIM)
add_custom_target(zeph_conformance_host ALL DEPENDS ${ZEPH_CONFORMANCE_EXE})
add_dependencies(zeph_conformance_host Ostrel zeph_string)

# Wine runs through tools/wine-run: natively where the kernel runs 32-bit programs, else under a
# current qemu-i386 registered in a private namespace; each run is its own Wine session, ended with
# the program. Exit 77 (skipped) where Wine cannot run. The prefix is the build's own, so the test
# neither needs nor touches a user's ~/.wine.
set(ZEPH_WINE_RUN ${PROJECT_SOURCE_DIR}/tools/wine-run --prefix ${CMAKE_BINARY_DIR}/wine-prefix)

add_test(NAME windows.conformance
         COMMAND ${ZEPH_WINE_RUN} ${ZEPH_CONFORMANCE_EXE}
         WORKING_DIRECTORY ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
# The same under emulation, so the road of machines without 32-bit support is proven here too.
add_test(NAME windows.conformance_emulated
         COMMAND ${CMAKE_COMMAND} -E env ZEPH_WINE_MODE=qemu ${ZEPH_WINE_RUN} ${ZEPH_CONFORMANCE_EXE}
         WORKING_DIRECTORY ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
set_tests_properties(windows.conformance windows.conformance_emulated PROPERTIES
  ENVIRONMENT "WINEDEBUG=-all,+debugstr" LABELS windows TIMEOUT 300 SKIP_RETURN_CODE 77
  FAIL_REGULAR_EXPRESSION "FAIL:")
