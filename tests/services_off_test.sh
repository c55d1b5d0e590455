#!/bin/sh
# Builds with TOLVANE_BUILD_SERVICES=OFF against tests/device_services.cc and
# checks that libtolvane.so needs that library and no stand-in, that no
# stand-in is installed or exported, and that the installed tolvane-getlog
# works through it. A cross build passes its tools as to install_test.sh.
set -eu
source=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
run=${TOLVANE_EMULATOR:-}

mkdir "$work/device"
${CXX:-c++} -std=c++17 -shared -fPIC -I"$source/src" -I"$source/include" \
  -Wl,-soname,libdevice_services.so.1 -o "$work/device/libdevice_services.so.1" \
  "$source/tests/device_services.cc"
cmake -S "$source" -B "$work/build" -DBUILD_TESTING=OFF \
  -DTOLVANE_BUILD_SERVICES=OFF \
  -DTOLVANE_SERVICES_LIBRARY="$work/device/libdevice_services.so.1" >/dev/null
cmake --build "$work/build" -j2 >/dev/null
cmake --install "$work/build" --prefix "$work/usr" >/dev/null

lib=$(find "$work/usr" -name libtolvane.so.2)
needed=$(${READELF:-readelf} -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/ \1 /p')
echo "$needed" | grep -qx " libdevice_services.so.1 " && ! echo "$needed" | grep -q tolvane_services ||
  { echo "libtolvane.so needs:$needed" >&2; exit 1; }
if find "$work/usr" -name '*tolvane_services*' | grep . ||
   grep -rIl -e tolvane_services -e Tolvane::services "$work/usr"; then
  echo "a stand-in is installed or exported" >&2
  exit 1
fi

# The device's library lies beside libtolvane.so, as on the device.
cp "$work/device/libdevice_services.so.1" "$(dirname "$lib")"
status=0
# shellcheck disable=SC2086  # the emulator's words
"$source/scripts/run-in-sandbox.sh" sh "$source/tests/getlog_check.sh" \
  $run "$work/usr/bin/tolvane-getlog" 2>"$work/stderr" || status=$?
cat "$work/stderr" >&2
[ "$status" -eq 0 ] || exit "$status"
grep -qx "device brev 6: AssembleLog: misc log written to /var/log/out." "$work/stderr"
echo "built against the device's services, which it needs, uses and installs not"
