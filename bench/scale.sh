#!/bin/bash
# The tool at the size a device reaches: 65,536 archives (the whole 16-bit
# cycle) and the active log, written over the 18 hours up to two hours ago. Peak RSS (GNU time,
# KiB) and time (hyperfine) of the whole history, --list, and a run after a
# position with one new line. In the sandbox, as root:
#
#   scripts/run-in-sandbox.sh --reach "$PWD/build" bench/scale.sh build/tolvane-getlog
set -euo pipefail
getlog=$(realpath "$1")
out=$(mktemp -d /var/tmp/scale.XXXXXX)
rm -f /var/log/misc*
# Each archive a second older than the next, the newest two hours ago.
echo "misc archive line" | gzip | perl -e 'local $/; my $z = <STDIN>;
  my $newest = time - 7200; for (32769 .. 98304) {
  my $path = sprintf("/var/log/misc%05d.log.gz", $_ % 65536);
  open(my $f, ">", $path) or die; print $f $z; close $f or die;
  my $t = $newest - (98304 - $_); utime($t, $t, $path) or die }'
echo 32768 >/var/log/misc.txt && echo "one line" >/var/log/misc32768.log
touch -d '2 hours ago' /var/log/misc.txt /var/log/misc32768.log
"$getlog" --cursor-file "$out/cursor.0" misc "$out/first"
echo "one line more" >>/var/log/misc32768.log

rss() { /usr/bin/time -f "%M" -o "$out/rss" "$@" >/dev/null; cat "$out/rss"; }
printf '| run | peak RSS (KiB) | time (ms) |\n|---|--:|--:|\n'
for run in whole list after; do
  case $run in
    whole) command="$getlog misc $out/whole" prepare=true ;;
    list) command="$getlog --list misc" prepare=true ;;
    after) command="$getlog --cursor-file $out/cursor misc $out/after"
      prepare="cp $out/cursor.0 $out/cursor" ;;
  esac
  $prepare
  kib=$(rss $command)
  hyperfine -N -w 1 -r 10 --prepare "$prepare" --export-json "$out/$run.json" \
    "$command" >/dev/null 2>&1
  ms=$(perl -MJSON::PP -e 'local $/; my $r = decode_json(<STDIN>)->{results}[0];
    printf "%.0f ± %.0f", $r->{mean} * 1e3, $r->{stddev} * 1e3' <"$out/$run.json")
  printf '| %s | %s | %s |\n' "$run" "$kib" "$ms"
done
printf '\n'
cp "$out/cursor.0" "$out/cursor"
"$getlog" --cursor-file "$out/cursor" misc "$out/after"
head -c 200 "$out/after"
rm -rf "$out"
