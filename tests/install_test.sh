#!/bin/sh
# Installs BUILD_DIR under a fresh prefix, builds a program against it with
# find_package and with pkg-config, and runs it and the installed
# tolvane-getlog without LD_LIBRARY_PATH. A cross build names its tools in
# CXX, NM, READELF and CMAKE_TOOLCHAIN_FILE, its emulator in TOLVANE_EMULATOR.
set -eu
build=$(cd "$1" && pwd)
source=$(cd "$(dirname "$0")/.." && pwd)
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
unset LD_LIBRARY_PATH
run=${TOLVANE_EMULATOR:-}

cmake --install "$build" --prefix "$prefix/usr" --strip >/dev/null
# Exactly the public functions are exported.
exported=$(${NM:-nm} -D --defined-only --demangle "$(find "$prefix/usr" -name libtolvane.so)" |
  sed -n 's/.* T \(nq_tolvane::[A-Za-z_:]*\)[[(].*/\1/p' | sort | tr '\n' ' ')
internal="CheckFileExist FindLastBackupLogNum FindLogNum GetActiveDir GetBackupDir GetDebugCondition GetLastLogNum GetLogNum GetLogPrefix GetLogType Initialize Message ReadCheckPointFile SetDebugCondition SetLogNum compare_file_age"
expected=$( (printf 'nq_tolvane::%s\n' GetEntireLog IsDebugging SetDebugging \
  PlanEntireLog AssembleEntireLog Stop::Request ReasonText GenerationsText \
  MissingText RotatingText LogTypeName LogTypeNamed StartDebugging AssembleLog PlanLog \
  LoadPosition StorePosition
  printf 'nq_tolvane::nq_tolvane_internals::%s\n' $internal) | sort | tr '\n' ' ')
[ "$exported" = "$expected" ] || { echo "exported: $exported" >&2; exit 1; }
# shellcheck disable=SC2086  # the emulator's words
$run "$prefix/usr/bin/tolvane-getlog" --help | grep -q "usage: tolvane-getlog"

# Nothing of the build host, such as an RPATH into the build tree.
if grep -rl -e "$build" -e "$source" "$prefix/usr"; then
  echo "installed files name the build host's paths" >&2
  exit 1
fi

cmake -S "$source/tests/consumer" -B "$prefix/cmake" -DCMAKE_PREFIX_PATH="$prefix/usr" >/dev/null
cmake --build "$prefix/cmake" >/dev/null
$run "$prefix/cmake/consumer"

PKG_CONFIG_PATH=$(dirname "$(find "$prefix/usr" -name tolvane.pc)")
export PKG_CONFIG_PATH
case $(pkg-config --libs tolvane) in
*rpath*) echo "tolvane.pc gives its consumers an RPATH" >&2; exit 1 ;;
esac
# shellcheck disable=SC2086
version=$($run "$prefix/usr/bin/tolvane-getlog" --version)
[ "$version" = "tolvane-getlog $(pkg-config --modversion tolvane)" ] ||
  { echo "--version printed: $version" >&2; exit 1; }
# The consumer chooses where its program looks for the library.
# shellcheck disable=SC2046
${CXX:-c++} -std=c++17 "$source/tests/consumer/main.cc" -o "$prefix/pc-consumer" \
  $(pkg-config --cflags --libs tolvane) -Wl,-rpath,"$(pkg-config --variable=libdir tolvane)"
$run "$prefix/pc-consumer"
echo "installed, found by find_package and pkg-config, runs without LD_LIBRARY_PATH"
