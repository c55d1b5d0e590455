#!/bin/sh
# Makes the Debian packages of BUILD_DIR and checks their names, dependencies,
# ldconfig trigger, lintian's verdict (native only), their files, and that
# the unpacked tolvane-getlog works in the sandbox (TOLVANE_EMULATOR as for
# install_test.sh).
#
#   sh tests/package_test.sh BUILD_DIR [DEBIAN_ARCHITECTURE]
set -eu
build=$(cd "$1" && pwd)
arch=${2:-$(dpkg --print-architecture)}
source=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "package_test: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/debs" >/dev/null)
for package in libtolvane2 libtolvane-dev tolvane-getlog; do
  deb=$(echo "$work/debs/${package}_"*"_$arch.deb")
  [ -f "$deb" ] || fail "no $package for $arch among: $(ls "$work/debs")"
  dpkg-deb -x "$deb" "$work/root"
done
depends=$(dpkg-deb -f "$work/debs/libtolvane2_"*.deb Depends)
for needed in sudo gzip coreutils libc6 libstdc++6 zlib1g; do
  echo "$depends" | tr ',' '\n' | grep -q "^ *$needed\( \|$\)" ||
    fail "libtolvane2 does not depend on $needed: $depends"
done
dpkg-deb --ctrl-tarfile "$work/debs/libtolvane2_"*.deb | tar -xOf - ./triggers |
  grep -qx "activate-noawait ldconfig" || fail "libtolvane2 has no ldconfig trigger"

# The drop-in (0440, not enabled, and as documentation), manual page, README.
usr=$work/root/usr
[ "$(stat -c %a "$usr/share/tolvane/sudoers.d/tolvane")" = 440 ] || fail "drop-in mode"
visudo -cqf "$usr/share/tolvane/sudoers.d/tolvane" || fail "drop-in does not parse"
[ ! -e "$work/root/etc" ] || fail "the package installs into /etc"
(cd "$usr/share" && ls man/man1/tolvane-getlog.1.gz doc/tolvane-getlog/README.md \
  doc/tolvane-getlog/examples/sudoers.d/tolvane >/dev/null) || fail "missing files"

if [ "$arch" = "$(dpkg --print-architecture)" ]; then
  status=0
  lintian --no-cfg --fail-on error --suppress-tags no-copyright-file \
    "$work/debs"/*.deb >"$work/lintian" 2>&1 || status=$?
  grep -v "running with root privileges" "$work/lintian" || true
  [ "$status" -eq 0 ] || fail "lintian found an error"
fi
run=${TOLVANE_EMULATOR:-}
# shellcheck disable=SC2086  # the emulator's words
"$source/scripts/run-in-sandbox.sh" sh "$source/tests/getlog_check.sh" \
  $run "$usr/bin/tolvane-getlog"
echo "package_test: $arch packages complete, unpacked tolvane-getlog works"
