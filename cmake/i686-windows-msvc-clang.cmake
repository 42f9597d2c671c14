# Cross toolchain for the 32-bit Windows DLLs on Linux: clang in MSVC-ABI mode, lld-link, llvm-rc.
#
# The host calls the component through the Microsoft C++ vtable layout and __thiscall, so the
# component is compiled for i686-pc-windows-msvc, never with mingw g++ (whose vtables differ).
# There is no Windows SDK here: the C runtime headers come from Wine's MSVC-compatible set and
# the import libraries (kernel32, msvcrt) from the mingw-w64 i686 package.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 6.1)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(ZEPH_WIN_TRIPLE i686-pc-windows-msvc)
set(ZEPH_LLVM_VERSION 14 CACHE STRING "Major version of the clang/lld/llvm-rc tools to use")
set(ZEPH_MINGW_LIBDIR /usr/i686-w64-mingw32/lib CACHE PATH "mingw-w64 i686 import libraries")
set(ZEPH_WINE_INCLUDE /usr/include/wine/wine CACHE PATH "Wine's msvcrt and windows headers")

find_program(CMAKE_C_COMPILER NAMES clang-${ZEPH_LLVM_VERSION} clang REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES clang++-${ZEPH_LLVM_VERSION} clang++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES llvm-rc-${ZEPH_LLVM_VERSION} llvm-rc REQUIRED)
find_program(CMAKE_LINKER NAMES lld-link-${ZEPH_LLVM_VERSION} lld-link REQUIRED)
find_program(CMAKE_AR NAMES llvm-ar-${ZEPH_LLVM_VERSION} llvm-ar REQUIRED)
find_program(CMAKE_MT NAMES llvm-mt-${ZEPH_LLVM_VERSION} llvm-mt)
set(CMAKE_C_COMPILER_TARGET ${ZEPH_WIN_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${ZEPH_WIN_TRIPLE})

# The compiler's own headers (stddef.h, stdint.h, ...) first, then the C runtime; the windows
# directory only serves sal.h, which the runtime headers include. Nothing from the host system.
execute_process(COMMAND ${CMAKE_C_COMPILER} -print-resource-dir
                OUTPUT_VARIABLE ZEPH_CLANG_RESOURCE_DIR OUTPUT_STRIP_TRAILING_WHITESPACE)
set(ZEPH_WIN_CFLAGS
    "-nostdinc -isystem ${ZEPH_CLANG_RESOURCE_DIR}/include -isystem ${ZEPH_WINE_INCLUDE}/msvcrt -isystem ${ZEPH_WINE_INCLUDE}/windows -D_CRT_SECURE_NO_WARNINGS -fms-extensions")
set(CMAKE_C_FLAGS_INIT "${ZEPH_WIN_CFLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${ZEPH_WIN_CFLAGS} -fno-exceptions -fno-rtti")

# Link with lld-link through the clang driver, against the import libraries only: no static C
# runtime and no C++ runtime. The C runtime is msvcrt.dll, which every Windows has, rather than the
# Universal CRT's API sets, which older systems load only once an update is installed; the few
# functions the DLLs use (malloc, free, realloc, mem*, str*, abort) are all in it.
set(ZEPH_WIN_LDFLAGS
    "-fuse-ld=lld -nostdlib -Wno-unused-command-line-argument -Wl,/safeseh:no -Wl,/libpath:${ZEPH_MINGW_LIBDIR} -Wl,/nodefaultlib")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${ZEPH_WIN_LDFLAGS}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${ZEPH_WIN_LDFLAGS}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${ZEPH_WIN_LDFLAGS}")
set(CMAKE_C_STANDARD_LIBRARIES "${ZEPH_MINGW_LIBDIR}/libkernel32.a ${ZEPH_MINGW_LIBDIR}/libmsvcrt.a"
    CACHE STRING "Libraries every Windows target links" FORCE)
set(CMAKE_CXX_STANDARD_LIBRARIES "${CMAKE_C_STANDARD_LIBRARIES}" CACHE STRING
    "Libraries every Windows target links" FORCE)

# The compiler checks link an executable, which needs a CRT start-up this toolchain has not.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(CMAKE_FIND_ROOT_PATH ${ZEPH_MINGW_LIBDIR})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Tools the Wine checks use: the mingw C compiler for the conformance host, wine, llvm-readobj.
find_program(ZEPH_MINGW_CC NAMES i686-w64-mingw32-gcc)
find_program(ZEPH_WINE NAMES wine)
find_program(ZEPH_READOBJ NAMES llvm-readobj-${ZEPH_LLVM_VERSION} llvm-readobj)
