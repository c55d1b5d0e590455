#!/bin/bash
# The cost of --output cat and json against pieces: 1,000 archives of 4 KiB
# of syslog-like lines and an active log, the whole history to a file,
# hyperfine (one warmup run, at least 10 runs). In the sandbox, as root:
#
#   scripts/run-in-sandbox.sh --reach "$PWD/build" bench/formats.sh build/tolvane-getlog
set -euo pipefail
getlog=$(realpath "$1")
out=$(mktemp -d /var/tmp/formats.XXXXXX)
# 4 KiB of lines, different for each piece.
text() {
  awk -v seed="$1" 'BEGIN { srand(seed); left = 4096
    while (left > 0) {
      l = sprintf("Dec  7 15:%02d:%02d dev-4f2a snmpd[%d]: session %05d closed after %d ms",
                  rand() * 60, rand() * 60, 400 + rand() * 99, rand() * 99999, rand() * 5000)
      if (left - length(l) - 1 < 80) l = substr(l, 1, left - 1)
      print l; left -= length(l) + 1 } }'
}
rm -f /var/log/misc*
echo 500 >/var/log/misc.txt
for ((k = 0; k < 1000; k++)); do
  text "$k" | gzip >"$(printf /var/log/misc%05d.log.gz $(((k - 500 + 65536) % 65536)))"
done
text 1000 >/var/log/misc00500.log
find /var/log -name 'misc*' -exec touch -d '1 hour ago' {} +
hyperfine -N -w 1 -m 10 --export-json "$out/formats.json" \
  "$getlog -o pieces misc $out/pieces" "$getlog -o cat misc $out/cat" \
  "$getlog -o json misc $out/json" >/dev/null 2>&1
perl -MJSON::PP -e 'local $/; my @r = @{decode_json(<STDIN>)->{results}};
  printf "| format | time (ms) | against pieces |\n|---|--:|--:|\n";
  for my $r (@r) { my ($f) = $r->{command} =~ / -o (\w+) /;
    printf "| %s | %.1f ± %.1f | %.2f |\n", $f, $r->{mean} * 1e3,
      $r->{stddev} * 1e3, $r->{mean} / $r[0]{mean} }' <"$out/formats.json"
printf '\nbytes: pieces %s, cat %s, json %s; lines %s\n' "$(wc -c <"$out/pieces")" \
  "$(wc -c <"$out/cat")" "$(wc -c <"$out/json")" "$(wc -l <"$out/json")"
rm -rf "$out"
