#!/usr/bin/env bash
# The 32-bit Windows DLLs: cross build with the windows-x86 preset, checks of the binaries, and the
# conformance host that drives Ostrel.dll under Wine.
set -euo pipefail

missing=()
for tool in clang-14 lld-link llvm-rc-14 llvm-readobj-14 i686-w64-mingw32-gcc wine; do
  command -v "$tool" >/dev/null || missing+=("$tool")
done
[ -d /usr/include/wine/wine/msvcrt ] || missing+=("libwine-dev headers")
if [ ${#missing[@]} -ne 0 ]; then
  echo "40-windows: skipped: ${missing[*]} not installed (see tools/deps/windows.txt)"
  exit 0
fi

export CMAKE_BUILD_PARALLEL_LEVEL=2
cmake --preset windows-x86
cmake --build --preset windows-x86
ls -l build/windows-x86/bin/*.dll

if bash tests/windows/enable-i386.sh; then
  ctest --preset windows-x86
else
  echo "40-windows: Wine conformance test skipped: this machine cannot run 32-bit x86 programs"
  ctest --preset windows-x86 -E '^windows\.(wine_start|wine_stop|conformance)$'
fi
