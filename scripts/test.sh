#!/bin/sh
# Installs what is missing, builds the project and runs every test.
#
#   bash scripts/test.sh [BUILD_DIR [CMAKE_ARG...]]     (as root)
#
# BUILD_DIR defaults to build/. The sandboxed tests need root; run as another
# user they skip, each saying why.
set -eu
cd "$(dirname "$0")/.."

packages="cmake g++ make pkg-config sudo gzip zlib1g-dev util-linux googletest libgtest-dev groff-base strace"
missing=""
for package in $packages; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
    missing="$missing $package"
done
if [ -n "$missing" ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  # shellcheck disable=SC2086
  apt-get install -y $missing
fi

build=${1:-build}
[ "$#" -gt 0 ] && shift
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
cmake --build "$build" -j2
ctest --test-dir "$build" --output-on-failure -j2
