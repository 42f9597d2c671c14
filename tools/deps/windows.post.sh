#!/usr/bin/env bash
# Where the kernel runs no 32-bit x86 programs, Wine needs a qemu-i386 of version 8 or later, and
# bookworm's own is 7.2. Fetch qemu-user from the bookworm-backports suite of the Debian source the
# machine is already configured with, through a private apt configuration, and keep only
# qemu-i386 (a static program) in /opt/zeph-tools/qemu. The system's apt set-up and binfmt_misc
# entries stay as they are. It is fetched where Wine runs natively too: the Windows stage also
# proves the emulated road (windows.conformance_emulated).
set -euo pipefail

dest=/opt/zeph-tools/qemu
if [ -x "$dest/qemu-i386" ]; then
  exit 0
fi

# The Debian archive address, from the machine's own sources (deb822 or one-line format).
uri=$(sed -n 's/^URIs:[[:space:]]*\([^[:space:]]*\).*/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null |
  grep -v -- '-security' | head -n 1 || true)
if [ -z "$uri" ]; then
  uri=$(sed -n 's/^deb[[:space:]]\+\(\[[^]]*\][[:space:]]\+\)\?\([^[:space:]]*\)[[:space:]]\+bookworm[[:space:]].*/\2/p' \
    /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null | head -n 1 || true)
fi
if [ -z "$uri" ]; then
  echo "windows.post: no Debian source found in the apt configuration; qemu-i386 not fetched" >&2
  exit 0
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/sources"
printf 'Types: deb\nURIs: %s\nSuites: bookworm-backports\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
  "$uri" >"$work/sources/backports.sources"
apt_opts=(-o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache"
  -o "Dir::Etc::SourceList=/dev/null" -o "Dir::Etc::SourceParts=$work/sources"
  -o "APT::Sandbox::User=root" -o "Debug::NoLocking=1")
# Without it the Wine tests report skipped on machines that need it: say so, but go on.
if ! { apt-get "${apt_opts[@]}" -qq update &&
  (cd "$work" && apt-get "${apt_opts[@]}" -qq download qemu-user) &&
  dpkg-deb -x "$work"/qemu-user_*.deb "$work/x" &&
  mkdir -p "$dest" && install -m 0755 "$work/x/usr/bin/qemu-i386" "$dest/qemu-i386"; }; then
  echo "windows.post: could not fetch qemu-user from bookworm-backports; Wine needs 32-bit support here" >&2
  exit 0
fi
echo "windows.post: $("$dest/qemu-i386" --version | head -n 1) in $dest"
