#!/usr/bin/env bash
# Makes what a user installs, in dist/: a .deb and an .rpm of the libftdi
# build and a .zip of the 32-bit Windows build. On a fresh Debian 12
# machine, run as root: it installs what it needs with apt-get. The
# simulated board's build is never packaged.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh package

# The changelog entry carries the date of the last commit, not of the build,
# so the same tree makes the same package.
if [ -z "${SOURCE_DATE_EPOCH:-}" ] && git rev-parse --git-dir >/dev/null 2>&1; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
  export SOURCE_DATE_EPOCH
fi

# The folders in the packages get the modes of the staging tree.
umask 022
jobs=$(nproc)

# make_package GENERATORS BUILD_DIR CONFIGURE_ARGS...: a fresh release build
# without the tests, packaged by CPack (GENERATORS: one or a list such as
# "DEB;RPM"), the packages copied into dist/
make_package() {
  local generators=$1 dir=$2
  shift 2
  rm -rf "$dir"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF "$@" >/dev/null
  local log
  log=$(mktemp)
  if ! cmake --build "$dir" -j "$jobs" -- --no-print-directory >"$log" 2>&1 ||
     ! cpack --config "$dir/CPackConfig.cmake" -G "$generators" -B "$PWD/$dir/cpack" >>"$log" 2>&1; then
    cat "$log"
    rm -f "$log"
    return 1
  fi
  rm -f "$log"
  local made
  find "$dir/cpack" -maxdepth 1 -type f \( -name '*.deb' -o -name '*.rpm' -o -name '*.zip' \) |
    while read -r made; do
      cp "$made" dist/
      echo "dist/$(basename "$made")"
    done
}

mkdir -p dist
rm -f dist/*.deb dist/*.rpm dist/*-win32.zip

# Debian's hardening flags, the ones its own packages are built with.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
make_package "DEB;RPM" build/package-libftdi -DBOARD_DRIVER=libftdi \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)"
make_package ZIP build/package-win32 -DBOARD_DRIVER=d2xx \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-i686.cmake"
