#!/usr/bin/env bash
# wine32 is an i386 package: enable that architecture before the package lists are fetched.
set -euo pipefail
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  $SUDO dpkg --add-architecture i386
  echo "windows.pre: enabled the i386 architecture"
fi
