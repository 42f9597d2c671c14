#!/usr/bin/env bash
# The 32-bit Windows DLLs: cross build with the windows-x86 preset, checks of the binaries, the
# conformance host that drives Ostrel.dll under Wine (tools/wine-run: natively, or under a current
# qemu-i386 in a private namespace; the Wine tests say skipped where neither works), and the bench
# playing every scenario and validate on the DLL through the bridge. Without the cross tools the
# stage exits 77, which test-all counts as skipped.
set -euo pipefail

missing=()
for tool in clang-14 lld-link llvm-rc-14 llvm-readobj-14 i686-w64-mingw32-gcc wine; do
  command -v "$tool" >/dev/null || missing+=("$tool")
done
[ -d /usr/include/wine/wine/msvcrt ] || missing+=("libwine-dev headers")
if [ ${#missing[@]} -ne 0 ]; then
  echo "40-windows: skipped: ${missing[*]} not installed (see tools/deps/windows.txt)"
  exit 77
fi

export CMAKE_BUILD_PARALLEL_LEVEL=2
# Every process this stage starts carries the tag, so that the check at the end looks at ours only.
export ZEPH_CI_RUN="40-windows.$$.$(date +%s%N)"
cmake --preset windows-x86
cmake --build --preset windows-x86
ls -l build/windows-x86/bin/*.dll

echo "40-windows: Wine runs here as: $(tools/wine-run --mode 2>&1)"
ctest --preset windows-x86

# The bench on the DLL itself, through the bridge: every workout scenario, validate, a soak and a
# faulting probe DLL under Wine (the native build's tests labelled dll; they play the DLLs just
# built in build/windows-x86/bin).
cmake --preset dev >/dev/null
# The .so modules too: the DLL road's facility table compares its transcript with theirs.
cmake --build --preset dev --target zeph-host zeph_bridge_probe_dlls bridged_heap_test zeph_tap_cost zeph_tap_instances zeph_sdk \
  Ostrel Vigil
# sdk: the scaffold out of tree against an SDK holding these DLLs' half, its own DLL played too.
ctest --preset dev -L 'dll|sdk'

# Every Wine session ends with its program; make sure of it (of ours: other Wine sessions on this
# machine are not this stage's business).
left=$(tools/ci/left-running "$ZEPH_CI_RUN" 'wine|qemu-i386|zeph-bridge|zeph_tap_writer')
if [ -n "$left" ]; then
  echo "40-windows: processes left running:"
  echo "$left"
  exit 1
fi
