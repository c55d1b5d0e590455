#!/bin/sh
# Every C++ example (```c++ or ```cpp) of README.md and doc/*.md compiles
# with -Wall -Wextra -Werror against the public headers and the built
# library, and, as root, runs and exits 0 in the sandbox over a small
# device (misc and snmpd at generation 2, archive 1 before it) with a
# private /var/lib: the examples write there and under /var/tmp, so they
# never run on the host. Every relative link of those files names a file
# that exists. A cross build names its compiler in CXX and its
# emulator's words in TOLVANE_EMULATOR.
#
#   doc_examples.sh BUILD_DIR SOURCE_DIR
set -u
build=$(cd "$1" && pwd) && source=$(cd "$2" && pwd) || exit 1
tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
examples=0 passed=0 failed=0
run=false
[ "$(id -u)" -ne 0 ] || run=true
# In the sandbox: the device, then the example.
device='mount -t tmpfs tmpfs /var/lib && mkdir /var/lib/agent &&
  for log in misc snmpd; do
    echo 2 >/var/log/$log.txt &&
    echo "$log archive 1" | gzip >/var/log/${log}00001.log.gz &&
    echo "$log active 2" >/var/log/${log}00002.log || exit 99
  done && exec "$@"'
# Runs the words given in the sandbox, over the device.
in_sandbox() {
  "$source/scripts/run-in-sandbox.sh" --reach "$tmp" --reach "$build" \
    sh -c "$device" sh "$@"
}

for markdown in "$source/README.md" "$source"/doc/*.md; do
  [ -e "$markdown" ] || continue
  name=${markdown#"$source"/}
  tag=$(printf '%s' "$name" | tr '/.' '__')
  # Each fenced C++ block, indented or not, into $tmp/TAG-NNN.cc.
  awk -v out="$tmp/$tag" '
    inside && /^[ \t]*```/ { inside = 0; close(file); next }
    inside { print > file; next }
    /^[ \t]*```[ \t]*(c[+][+]|cpp)[ \t]*$/ {
      file = sprintf("%s-%03d.cc", out, ++n); inside = 1; printf "" > file
    }' "$markdown"
  for example in "$tmp/$tag"-*.cc; do
    [ -e "$example" ] || continue
    examples=$((examples + 1))
    number=${example##*-}  # NNN.cc, which 1NNN - 1000 reads without octal
    block="$name, C++ block $((1${number%.cc} - 1000))"
    if ! ${CXX:-c++} -std=c++17 -Wall -Wextra -Werror -I"$source/include" \
        "$example" -o "${example%.cc}" -L"$build" -ltolvane \
        -Wl,-rpath,"$build" >"$example.log" 2>&1; then
      echo "FAIL: $block does not compile:"; cat "$example.log"
      failed=$((failed + 1)); continue
    fi
    if ! $run; then
      echo "ok: $block compiles (run as root only)"
      passed=$((passed + 1))
      continue
    fi
    # shellcheck disable=SC2086  # the emulator's words
    (cd "$tmp" && in_sandbox ${TOLVANE_EMULATOR:-} "${example%.cc}") \
      </dev/null >"$example.log" 2>&1
    status=$?
    if [ "$status" -ne 0 ]; then
      echo "FAIL: $block exited $status:"; cat "$example.log"
      failed=$((failed + 1)); continue
    fi
    echo "ok: $block (exit $status)"
    passed=$((passed + 1))
  done

  # Relative links outside code blocks: [text](target), less any #anchor.
  awk '/^[ \t]*```/ { code = !code; next } !code' "$markdown" |
    grep -o '\]([^)]*)' | sed 's/^](//; s/)$//; s/#.*//' |
    while read -r target; do
      case $target in '' | *://* | mailto:*) continue ;; esac
      [ -e "$(dirname "$markdown")/$target" ] ||
        echo "FAIL: $name links to $target, which does not exist"
    done >"$tmp/links"
  if [ -s "$tmp/links" ]; then
    cat "$tmp/links"; failed=$((failed + $(wc -l <"$tmp/links")))
  fi
done

[ "$examples" -gt 0 ] || { echo "FAIL: no C++ example found"; exit 1; }
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
