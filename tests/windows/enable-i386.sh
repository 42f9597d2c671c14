#!/usr/bin/env bash
# Makes sure this machine can run 32-bit x86 Linux programs, which wine32 is made of.
#
# Most kernels run them natively. Some virtual machines have no 32-bit mode; there the kernel's
# binfmt_misc hands i386 programs to qemu-i386 (user-mode emulation), registered here once.
# Needs root for that step. Exit 0 when 32-bit programs run, 1 otherwise.
set -euo pipefail

probe=/usr/lib/wine/wine
[ -x "$probe" ] || probe=/lib/ld-linux.so.2
if "$probe" --version >/dev/null 2>&1; then
  exit 0
fi

qemu=$(command -v qemu-i386 || true)
if [ -z "$qemu" ]; then
  echo "enable-i386: 32-bit programs do not run here and qemu-i386 is not installed" >&2
  exit 1
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "enable-i386: 32-bit programs do not run here; registering qemu-i386 needs root" >&2
  exit 1
fi

binfmt=/proc/sys/fs/binfmt_misc
if [ ! -e "$binfmt/register" ]; then
  mount -t binfmt_misc binfmt_misc "$binfmt"
fi
if [ ! -e "$binfmt/zeph-i386" ]; then
  # ELF, 32-bit, little-endian, executable or shared object, machine 3 (i386).
  magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  echo ":zeph-i386:M::$magic:$mask:$qemu:F" >"$binfmt/register"
  echo "enable-i386: 32-bit x86 programs now run through $qemu"
fi
"$probe" --version >/dev/null 2>&1
