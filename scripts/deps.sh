#!/usr/bin/env bash
# Installs, on Debian 12, the packages a task needs and the machine lacks.
#   deps.sh demo     compiler, CMake, Python: the programs on the simulated board
#   deps.sh package  the release builds and their packages: libftdi1, the
#                    i686 mingw-w64 cross compiler, mandoc, dpkg-dev, rpm
#   deps.sh test     all of it: the above, GoogleTest, umockdev (the simulated
#                    board over USB), 32-bit and 64-bit Wine (which adds the
#                    i386 architecture to dpkg), the x86-64 cross compiler for
#                    machines that run no 32-bit code, and the checking tools
# At a terminal it shows apt-get's progress; in a log, one line of what it
# installs.
set -euo pipefail

packages=(cmake make g++ pkg-config python3)
case "${1:-demo}" in
  demo) ;;
  package)
    # file: CPack finds the programs for dpkg-shlibdeps with it.
    packages+=(libftdi1-dev g++-mingw-w64-i686 binutils-mingw-w64-i686
               mandoc dpkg-dev file gzip rpm) ;;
  test)
    packages+=(libgtest-dev libftdi1-dev umockdev libumockdev-dev valgrind cppcheck util-linux e2fsprogs acl strace
               g++-mingw-w64-i686 binutils-mingw-w64-i686 wine wine32:i386
               g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine64
               srecord clang libclang-rt-14-dev
               mandoc dpkg-dev file gzip lintian rpm rpmlint cpio) ;;
  *) echo "usage: $0 demo|package|test" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

# An i386 package installs only once dpkg has that architecture.
add_i386=false
for p in "${missing[@]}"; do
  if [[ $p == *:i386 ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    add_i386=true
  fi
done

if [ "$(id -u)" -ne 0 ]; then
  {
    echo "missing packages: ${missing[*]}"
    echo "run this again as root, or install them as root with:"
    if $add_i386; then
      printf '  dpkg --add-architecture i386 && '
    else
      printf '  '
    fi
    echo "apt-get update && apt-get install --no-install-recommends ${missing[*]}"
  } >&2
  exit 1
fi
if $add_i386; then
  dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
if [ -t 1 ]; then
  quiet=()
  echo "updating the package lists"
else
  quiet=(-qq)
fi
apt-get update "${quiet[@]}"
install=(apt-get install -y --no-install-recommends "${missing[@]}")
# What comes with the missing packages, as apt-get reckons it: the packages
# it would unpack, and the bytes of those it would have to download, in MB
# of 1,000,000 bytes as apt-get counts them.
count=$("${install[@]}" --simulate | grep -c '^Inst ' || true)
bytes=$("${install[@]}" --print-uris -qq | awk '{ sum += $3 } END { print sum + 0 }')
echo "installing the ${#missing[@]} packages missing here and what they need: $count packages, $(((bytes + 500000) / 1000000)) MB to download"
if [ -t 1 ]; then
  "${install[@]}" -o Dpkg::Progress-Fancy=1
else
  "${install[@]}" -qq >/dev/null
fi
