#!/bin/bash
# bench/compare.sh, as root: builds build-bench/, then re-runs itself in the
# sandbox (scripts/run-in-sandbox.sh: private /var/log, /var/tmp and /etc) and
# times with hyperfine, on misc histories of log-like text across the wrap:
#   1. `tolvane-getlog misc OUT` against zcat + cat into OUT, synced as the
#      tool syncs it (the file before it takes its name, the directory after),
#      and on 1,000 archives its -o cat and -o json against it;
#   2. the same request by a member of the group tolvane on root-only
#      archives (through sudo) against GetEntireLog (bench/entire_log.cc);
#   3. the tool's peak RSS (GNU time);
#   4. a request after a position with one new line against the whole one;
#   5. on 65,536 archives: `tolvane-getlog --list misc`, the peak RSS of it,
#      of the whole history and of a run after a position (timed too), and
#      tolvane_bench.
# OUT lies in build-bench/out, on the checkout's file system, where syncs
# reach the disk. Everything goes to bench/results/ (summary.md first).
set -euo pipefail
bench=$(cd "${BASH_SOURCE[0]%/*}" && pwd)
build=${bench%/bench}/build-bench results=$bench/results
if [[ ${TOLVANE_IN_SANDBOX:-} != 1 ]]; then
  [[ -z ${TOLVANE_SANDBOX_UNAVAILABLE:-} ]] ||
    { echo "compare.sh: no sandbox: $TOLVANE_SANDBOX_UNAVAILABLE" >&2 && exit 1; }
  packages=(cmake g++ make sudo gzip zlib1g-dev libbenchmark-dev hyperfine time jq)
  dpkg-query -W "${packages[@]}" &>/dev/null ||
    { apt-get update && apt-get install -y "${packages[@]}"; }
  cmake -S "$bench/.." -B "$build" -DCMAKE_BUILD_TYPE=Release \
    -DTOLVANE_BUILD_TESTS=OFF -DTOLVANE_BUILD_BENCHMARKS=ON >/dev/null
  cmake --build "$build" -j2 >/dev/null
  exec "$bench/../scripts/run-in-sandbox.sh" bash "$bench/compare.sh" "$@"
fi

getlog=$build/tolvane-getlog out=$build/out failed=0
mkdir -p "$results" && rm -f "$results"/* && rm -rf "$out" && mkdir "$out"
trap 'rm -rf "$out"' EXIT
{ echo "cores: $(nproc)"; grep -m1 'model name' /proc/cpuinfo
  echo "load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"; uname -sr
  hyperfine --version; echo "OUT on: $(findmnt -no FSTYPE,SOURCE -T "$out")"; } |
  tee "$results/machine.txt"

# A member of the group tolvane, whom the shipped drop-in lets decompress.
groupadd -f tolvane && useradd -M -G tolvane member
install -m 0440 "$bench/../packaging/sudoers.d/tolvane" /etc/sudoers.d/tolvane
install -d -o member "$out/member"
as_member() { (cd "$out/member" && setpriv --reuid=member --regid=member --init-groups "$@"); }

# text SEED BYTES: exactly BYTES of syslog-like lines, which gzip compresses
# about as it does a device's logs (5x in 4 KiB, 9x in 16 MiB).
text() {
  awk -v seed="$1" -v left="$2" 'BEGIN {
    srand(seed); t = 1796000000 + seed * 3600; pad = sprintf("%300s", "")
    split("snmpd 412:dhcpd 388:sshd 1207:kernel 0:ntpd 530:ifmgr 291", proc, ":")
    while (left > 0) {
      t += int(rand() * 3); r = int(rand() * 6) + 1
      ip = "10.0." int(rand() * 4) "." (20 + int(rand() * 12))
      if (r == 1) m = "Connection from UDP: [" ip "]:" (1024 + int(rand() * 64000)) "->[10.0.0.1]:161"
      else if (r == 2) m = "DHCPACK on " ip " to 00:1b:21:3c:" sprintf("%02x", rand() * 16) ":07 via eth" int(rand() * 2)
      else if (r == 3) m = "Accepted publickey for operator from " ip " port " (1024 + int(rand() * 64000)) " ssh2"
      else if (r == 4) m = "eth" int(rand() * 4) ": link " (rand() < 0.5 ? "up" : "down") ", 1000 Mbps, full duplex"
      else if (r == 5) m = sprintf("adjusting clock by %.6f s", (rand() - 0.5) / 100)
      else m = sprintf("session %05d closed after %d ms", rand() * 99999, rand() * 5000)
      split(proc[r], p, " ")
      l = strftime("%b %e %H:%M:%S", t) " dev-4f2a " p[1] "[" p[2] "]: " m
      if (left - length(l) - 1 < 120) l = substr(l pad, 1, left - 1)
      print l; left -= length(l) + 1
    } }'
}

# lay_out COUNT BYTES: COUNT gzip archives and the active log, BYTES of text
# each; checkpoint COUNT/2, so the archives lie across the wrap. ARCHIVES
# holds them oldest first, ACTIVE the active log.
lay_out() {
  local k piece
  rm -f /var/log/misc* && echo $(($1 / 2)) >/var/log/misc.txt && ARCHIVES=()
  for ((k = 0; k <= $1; k++)); do
    printf -v piece /var/log/misc%05d.log $((($1 / 2 - $1 + k + 65536) % 65536))
    if ((k < $1)); then
      text "$k" "$2" | gzip >"$piece.gz" && ARCHIVES+=("$piece.gz")
    else text "$k" "$2" >"$piece" && ACTIVE=$piece; fi
  done
}

# fine NAME [as_member] HYPERFINE_ARG...: hyperfine, one warmup run and at
# least 3 timed ones (as many as 3 s allow), into NAME.md and NAME.json.
fine() {
  local name=$1 as=() && shift
  [[ $1 != as_member ]] || { as=(as_member) && shift; }
  "${as[@]}" hyperfine --style basic -w 1 -m 3 --export-markdown "$out/member/$name.md" \
    --export-json "$out/member/$name.json" "$@"
  mv "$out/member/$name".{md,json} "$results/"
}

# same WHAT A B: records whether the files A and B hold the same bytes.
same() {
  local verdict=same
  cmp -s "$2" "$3" || verdict=DIFFERENT failed=1
  echo "$1: $verdict ($(wc -c <"$3") bytes)" | tee -a "$results/checks.txt"
}

# ratio LABEL NAME A B: a row of A's and B's means ± σ in ms and A/B, from
# hyperfine's NAME.json.
ratio() {
  jq -r --arg n "$1" --arg a "$3" --arg b "$4" '
    def ms(x): "\(x.mean * 1e4 | round / 10) ± \(x.stddev * 1e4 | round / 10)";
    (.results | map({(.command): .}) | add) as $r
    | "| \($n) | \(ms($r[$a])) | \(ms($r[$b])) | \($r[$a].mean / $r[$b].mean * 1e3 | round / 1e3) |"
  ' "$results/$2.json"
}

for history in "100 4096 100x4KiB" "1000 4096 1000x4KiB" "4 16777216 4x16MiB"; do
  read -r count bytes name <<<"$history"
  lay_out "$count" "$bytes"
  echo "$name: $(cat /var/log/misc*.gz | wc -c) bytes of archives, $(cat "${ARCHIVES[@]}" |
    gzip -dc | wc -c) of text in them" | tee -a "$results/checks.txt"
  fine "$name" -n tool "$getlog misc $out/tool" -n plain "{ zcat ${ARCHIVES[*]}; cat $ACTIVE; } \
    >$out/plain.new && sync $out/plain.new && mv -f $out/plain.new $out/plain && sync $out"
  header='^/var/log/misc[0-9]{5}\.log(\.gz)? follows.*:$'
  same "$name: the tool's output less its $(grep -Ec "$header" "$out/tool") header blocks and plain's" \
    <(grep -Ev "^\$|$header" "$out/tool") "$out/plain"
  [[ $name != 1000x4KiB ]] || fine formats -n pieces "$getlog misc $out/tool" \
    -n cat "$getlog -o cat misc $out/cat" -n json "$getlog -o json misc $out/json"
  /usr/bin/time -f "| $name | %M |" -a -o "$results/rss.md" "$getlog" misc "$out/tool"

  chmod 0600 "${ARCHIVES[@]}"
  fine "member_$name" as_member -n tool "$getlog misc $out/member/tool" \
    -n GetEntireLog "$build/bench/entire_log misc $out/member/entire"
  same "$name, member: the tool's output and root's" "$out/member/tool" "$out/tool"
  same "$name, member: GetEntireLog's output and root's" "$out/member/entire" "$out/tool"
  rm -f "$out"/tool "$out"/plain "$out"/cat "$out"/json "$out"/member/*
done

# After a position: the cursor stored once, one line appended, the cursor put
# back before each timed run.
lay_out 100 4096
"$getlog" --cursor-file "$out/cursor" misc "$out/after" && cp "$out/cursor" "$out/cursor.0"
size=$(stat -c %s "$ACTIVE") line="Dec  7 15:02:33 dev-4f2a snmpd[412]: one line more"
echo "$line" >>"$ACTIVE"
fine after -n "after a position" --prepare "cp $out/cursor.0 $out/cursor" \
  "$getlog --cursor-file $out/cursor misc $out/after" -n whole --prepare true "$getlog misc $out/whole"
same "after a position: the header and the new line alone" \
  <(printf '\n%s follows from byte %d:\n\n%s\n' "$ACTIVE" "$size" "$line") "$out/after"

# 65,536 archives, copies of one small one, written oldest first (from the
# one after the checkpoint's), and the active log.
rm -f /var/log/misc*
echo "misc archive line" | gzip | perl -e 'local $/; my $z = <STDIN>; for (32769 .. 98304) {
  open(my $f, ">", sprintf("/var/log/misc%05d.log.gz", $_ % 65536)) or die; print $f $z; close $f or die }'
echo 32768 >/var/log/misc.txt && echo "one line" >/var/log/misc32768.log
fine list -i -n "tolvane-getlog --list misc" "$getlog --list misc"
# Peak RSS of the whole history, --list and a run after a position with one
# new line, which is timed too.
"$getlog" --cursor-file "$out/cursor" misc "$out/after" && cp "$out/cursor" "$out/cursor.0"
echo "one line more" >>/var/log/misc32768.log
for run in "whole:$getlog misc $out/whole" "list:$getlog --list misc" \
  "after a position:$getlog --cursor-file $out/cursor misc $out/after"; do
  cp "$out/cursor.0" "$out/cursor"
  /usr/bin/time -f "| ${run%%:*} | %M |" -a -o "$results/rss65536.md" ${run#*:} >/dev/null
done
fine after65536 -n "after a position" --prepare "cp $out/cursor.0 $out/cursor" \
  "$getlog --cursor-file $out/cursor misc $out/after"
"$build/bench/tolvane_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
  --benchmark_out="$results/gbench.json" --benchmark_out_format=json | tee "$results/gbench.txt"

{ echo "| history | tool (ms) | plain: zcat + cat, synced (ms) | tool/plain |"
  echo "|---|--:|--:|--:|"
  for name in 100x4KiB 1000x4KiB 4x16MiB; do ratio "$name" "$name" tool plain; done
  printf '\nAs a member of the group tolvane, archives root-only:\n\n'
  echo "| history | tool (ms) | GetEntireLog (ms) | tool/GetEntireLog |"
  echo "|---|--:|--:|--:|"
  for name in 100x4KiB 1000x4KiB 4x16MiB; do ratio "$name" "member_$name" tool GetEntireLog; done
  printf '\n100x4KiB, a request after a position with one new line against the whole:\n\n'
  echo "| history | after a position (ms) | whole (ms) | after/whole |"
  echo "|---|--:|--:|--:|"
  ratio 100x4KiB after "after a position" whole
  printf '\nPeak RSS of `tolvane-getlog misc OUT` (`/usr/bin/time -f %%M`):\n\n'
  echo "| history | KiB |" && echo "|---|--:|" && cat "$results/rss.md"
  printf '\n1000x4KiB, each output format:\n\n'
  echo "| format | it (ms) | pieces (ms) | it/pieces |" && echo "|---|--:|--:|--:|"
  for format in cat json; do ratio "$format" formats "$format" pieces; done
  printf '\n65,536 archives, peak RSS:\n\n| run | KiB |\n|---|--:|\n' && cat "$results/rss65536.md"
  printf '\nAfter a position with one new line, 65,536 archives: %s\n' \
    "$(jq -r '.results[0] | "\(.mean * 1e3 | round) ± \(.stddev * 1e3 | round) ms"' "$results/after65536.json")"
  printf '\n`tolvane-getlog --list misc`, 65,536 archives: %s\n' \
    "$(jq -r '.results[0] | "\(.mean * 1e3 | round) ± \(.stddev * 1e3 | round) ms, exit \(.exit_codes | unique)"' "$results/list.json")"
} | tee "$results/summary.md"
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)" | tee -a "$results/machine.txt"
exit "$failed"
