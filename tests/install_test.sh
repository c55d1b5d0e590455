#!/bin/sh
# Installs the build in BUILD_DIR under a fresh prefix, then builds a program
# against it with find_package and with pkg-config, and runs it and the
# installed tolvane-getlog without LD_LIBRARY_PATH.
set -eu
build=$1
source=$(dirname "$0")
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
unset LD_LIBRARY_PATH

cmake --install "$build" --prefix "$prefix/usr" >/dev/null
# Exactly the public functions are exported.
exported=$(nm -D --defined-only --demangle "$(find "$prefix/usr" -name libtolvane.so)" |
  sed -n 's/.* T \(nq_tolvane::[A-Za-z_:]*\)[[(].*/\1/p' | sort | tr '\n' ' ')
internal="CheckFileExist FindLastBackupLogNum FindLogNum GetActiveDir GetBackupDir GetDebugCondition GetLastLogNum GetLogNum GetLogPrefix GetLogType Initialize Message ReadCheckPointFile SetDebugCondition SetLogNum compare_file_age"
expected=$( (printf 'nq_tolvane::%s\n' GetEntireLog IsDebugging SetDebugging
  printf 'nq_tolvane::nq_tolvane_internals::%s\n' $internal) | sort | tr '\n' ' ')
[ "$exported" = "$expected" ] || { echo "exported: $exported" >&2; exit 1; }
"$prefix/usr/bin/tolvane-getlog" --help | grep -q "usage: tolvane-getlog"

cmake -S "$source/consumer" -B "$prefix/cmake" -DCMAKE_PREFIX_PATH="$prefix/usr" >/dev/null
cmake --build "$prefix/cmake" >/dev/null
"$prefix/cmake/consumer"

PKG_CONFIG_PATH=$(dirname "$(find "$prefix/usr" -name tolvane.pc)")
export PKG_CONFIG_PATH
# shellcheck disable=SC2046
c++ -std=c++17 "$source/consumer/main.cc" -o "$prefix/pc-consumer" $(pkg-config --cflags --libs tolvane)
"$prefix/pc-consumer"
echo "installed, found by find_package and pkg-config, runs without LD_LIBRARY_PATH"
