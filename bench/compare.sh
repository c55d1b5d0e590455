#!/bin/bash
# bench/compare.sh [ROUNDS], as root: on four misc histories, times
# `tolvane-getlog misc OUT` against the floor (the same commands, each through
# its own /bin/sh -c as system() does) and the plain way (zcat of the archives
# oldest first, cat of the active log), alternating, then runs BM_GetEntireLog
# for the library's own CPU time and memory; writes bench/results/. `compare.sh
# gbench [FLAG...]` runs tolvane_bench alone on 10 archives. It builds
# build-bench/ and re-runs itself in scripts/run-in-sandbox.sh.
set -euo pipefail
bench=$(cd "${BASH_SOURCE[0]%/*}" && pwd)
build=${bench%/bench}/build-bench results=$bench/results
gbench=$build/bench/tolvane_bench
if [[ -n ${TOLVANE_SANDBOX_UNAVAILABLE:-} ]]; then
  echo "compare.sh: no sandbox: $TOLVANE_SANDBOX_UNAVAILABLE" >&2 && exit 1
elif [[ ${TOLVANE_IN_SANDBOX:-} != 1 ]]; then
  [[ -e /usr/include/benchmark/benchmark.h ]] && command -v cmake g++ sudo >/dev/null ||
    { apt-get update && apt-get install -y cmake g++ make sudo gzip libbenchmark-dev; }
  cmake -S "$bench/.." -B "$build" -DCMAKE_BUILD_TYPE=Release \
    -DTOLVANE_BUILD_TESTS=OFF -DTOLVANE_BUILD_BENCHMARKS=ON >/dev/null
  cmake --build "$build" -j2 >/dev/null
  exec "$bench/../scripts/run-in-sandbox.sh" bash "$bench/compare.sh" "$@"
fi
[[ $(stat -f -c %T /var/log) == tmpfs ]] || exit 1

# lay_out COUNT BYTES: COUNT archives and the active log, BYTES of text each in
# lines of 64 bytes; checkpoint COUNT/2, so the archives straddle the wrap.
lay_out() {
  local k piece
  rm -f /var/log/misc* && echo $(($1 / 2)) >/var/log/misc.txt
  for ((k = 0; k <= $1; k++)); do
    printf -v piece misc%05d $((($1 / 2 - $1 + k + 65536) % 65536))
    seq -f "$piece line %010.0f the quick brown fox jumps over a dog." $(($2 / 64)) |
      if ((k < $1)); then gzip -1 >"/var/log/$piece.log.gz"; else cat >"/var/log/$piece.log"; fi
  done
}
[[ ${1:-} != gbench ]] || { lay_out 10 4096 && exec "$gbench" "${@:2}"; }

# Sets ACTIVE and ARCHIVES, oldest first (numbered above the checkpoint, then
# up to it), with builtins only: finding them starts no process.
pieces() {
  local checkpoint archive before=() after=()
  read -r checkpoint </var/log/misc.txt
  printf -v ACTIVE /var/log/misc%05d.log $((10#$checkpoint))
  for archive in /var/log/misc?????.log.gz; do # in name order = number order
    if ((10#${archive:13:5} > 10#$checkpoint)); then before+=("$archive")
    else after+=("$archive"); fi
  done
  ARCHIVES=("${before[@]}" "${after[@]}")
}

# What the library does in-process costs the floor no process either: its
# scratch files lie in /var/tmp itself, it appends to OUT, and it empties each
# scratch file (a builtin) where the library unlinks it.
floor() {
  local nl=$'\n' && pieces
  /bin/sh -c "/bin/cp -f $ACTIVE /var/tmp/${ACTIVE##*/}-$$.txt 2>/dev/null"
  for ((i = ${#ARCHIVES[@]} - 1; i >= 0; i--)); do
    /bin/sh -c "sudo /bin/gunzip -c ${ARCHIVES[i]} > /var/tmp/${ARCHIVES[i]##*/}-$$.txt 2>/dev/null"
  done
  for source in "${ARCHIVES[@]}" "$ACTIVE"; do
    /bin/sh -c "/bin/echo -e \"$nl$source follows:$nl\" >> $1 2>/dev/null"
    /bin/sh -c "/bin/cat /var/tmp/${source##*/}-$$.txt >> $1 2>/dev/null"
    : >"/var/tmp/${source##*/}-$$.txt"
  done
}

plain() { pieces && zcat -- "${ARCHIVES[@]}" >"$1" && cat -- "$ACTIVE" >>"$1"; }

# run HISTORY ROUND WHAT: one timed run of WHAT into /var/tmp/WHAT.
run() {
  rm -f "/var/tmp/$3" /var/tmp/misc*.txt
  local status=0 t0=$EPOCHREALTIME
  if [[ $3 == library ]]; then "$build/tolvane-getlog" misc /var/tmp/library
  else ("$3" "/var/tmp/$3"); fi &>/dev/null || status=$?
  echo "$1 $2 $3 $((10#${EPOCHREALTIME/./} - 10#${t0/./})) $status" >>"$results/samples.txt"
}

mkdir -p "$results" && rm -f "$results"/*
{ nproc; grep -m1 'model name' /proc/cpuinfo; uname -sr; g++ --version | head -1
  readlink -f /bin/sh; sudo -V | head -1; dpkg-query -W libbenchmark-dev; } >"$results/machine.txt"
lay_out 10 4096
"$gbench" --benchmark_filter=OrderNames --benchmark_repetitions=5 \
  --benchmark_report_aggregates_only=true 2>&1 | tee "$results/order_names.txt"
whats=(library floor plain) names=""
for entry in "10x4KiB 10 4096 ${1:-21}" "100x4KiB 100 4096 ${1:-11}" \
  "1000x4KiB 1000 4096 ${1:-5}" "8x64MiB 8 67108864 ${1:-5}"; do
  read -r name count bytes rounds <<<"$entry"
  names+=" $name"
  lay_out "$count" "$bytes"
  for ((round = 0; round <= rounds; round++)); do # round 0: untimed, for the checks
    for k in 0 1 2; do run "$name" "$round" "${whats[(round + k) % 3]}"; done
    ((round > 0)) || { cmp -s /var/tmp/library /var/tmp/floor && same=the || same=DIFFERENT
      echo "$name: library and floor wrote $same $(wc -c </var/tmp/library) bytes;" \
        "plain $(wc -c </var/tmp/plain) of $(((count + 1) * bytes))" >>"$results/checks.txt"; }
  done
  rm -f /var/tmp/library /var/tmp/floor /var/tmp/plain /var/tmp/misc*.txt
  "$gbench" --benchmark_filter=GetEntireLog --benchmark_repetitions=3 \
    --benchmark_report_aggregates_only=true --benchmark_format=csv >"$results/request_$name.csv"
done
{ awk '$5 != 0 { print "exit status", $5, "in", $0 }' "$results/samples.txt"
  ls -A /var/tmp | sed 's/^/left in \/var\/tmp: /'; } >>"$results/checks.txt"
cat "$results/checks.txt"

# Per history: median wall time (fastest-slowest round) of each way, and the
# medians of BM_GetEntireLog's in-process request and its counters.
sort -k4,4n "$results/samples.txt" | awk -v names="$names" -v dir="$results" '
  FILENAME != "-" { gsub(/"/, ""); split($0, f, ",")
    if (FNR == 1) for (i in f) col[f[i]] = i
    else if (f[1] ~ /_median$/) for (c in col) gb[FILENAME, c] = f[col[c]]
    next }
  $2 > 0 { t[$1, $3, ++n[$1, $3]] = $4 / 1e6 }
  function cell(h, w,  k) { k = n[h, w]; m[w] = t[h, w, int((k + 1) / 2)]
    return sprintf("%.3f (%.3f-%.3f)", m[w], t[h, w, 1], t[h, w, k]) }
  END { print "| history | rounds | library (s) | floor (s) | plain (s) | library/floor" \
      " | library/plain | in-process request (s) | library CPU (ms)" \
      " | RSS before / peak (KiB) | commands CPU (ms) |\n|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|"
    for (i = 1; i <= split(names, hs, " "); i++) { h = hs[i]; c = dir "/request_" h ".csv"
      printf "| %s | %d | %s | %s | %s | %.3f | %.1f | %.3f | %.1f | %d / %d | %.0f |\n",
        h, n[h, "library"], cell(h, "library"), cell(h, "floor"), cell(h, "plain"),
        m["library"] / m["floor"], m["library"] / m["plain"], gb[c, "real_time"] / 1e3,
        gb[c, "self_cpu_ms"], gb[c, "rss_before_kib"], gb[c, "peak_rss_kib"],
        gb[c, "children_cpu_ms"] } }' "$results"/request_*.csv - | tee "$results/summary.md"
