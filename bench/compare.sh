#!/bin/bash
# bench/compare.sh [ROUNDS], as root: on four misc histories, times
# `tolvane-getlog misc OUT` against the floor (the same commands, each through
# its own /bin/sh -c) and the plain way (zcat, cat), alternating, with OUT on
# tmpfs and on the checkout's disk; runs BM_GetEntireLog on each, then
# BM_PlanEntireLog and `tolvane-getlog --list` on 65,536 archives; writes
# bench/results/. Then what a selection costs: a request after a position
# with one new line against the whole request on 100 archives, and --since
# selecting 2 of 1,000 archives (`compare.sh select [ROUNDS]` runs that part
# alone, into build-bench/select/; `compare.sh list` the 65,536 archives,
# into build-bench/list/). `compare.sh gbench [FLAG...]` runs
# tolvane_bench alone on 10 archives. It builds build-bench/ and re-runs
# itself in the sandbox. Floor and plain take the pieces, in output order,
# from `tolvane-getlog --list`.
#
# `compare.sh check TOOL` builds nothing: on 10 archives across the wrap it
# traces TOOL (a tolvane-getlog) and the floor and exits 0 when the floor
# started TOOL's sh -c texts and wrote its bytes, 1 when not, 77 without
# strace or a sandbox.
set -euo pipefail
bench=$(cd "${BASH_SOURCE[0]%/*}" && pwd)
build=${bench%/bench}/build-bench results=$bench/results
gbench=$build/bench/tolvane_bench disk=$build/out
if [[ ${1:-} == check ]]; then
  command -v strace >/dev/null || { echo "compare.sh: check needs strace" >&2 && exit 77; }
elif [[ ${TOLVANE_IN_SANDBOX:-} != 1 && -z ${TOLVANE_SANDBOX_UNAVAILABLE:-} ]]; then
  [[ -e /usr/include/benchmark/benchmark.h ]] && command -v cmake g++ sudo strace >/dev/null ||
    { apt-get update && apt-get install -y cmake g++ make sudo gzip strace libbenchmark-dev; }
  cmake -S "$bench/.." -B "$build" -DCMAKE_BUILD_TYPE=Release \
    -DTOLVANE_BUILD_TESTS=OFF -DTOLVANE_BUILD_BENCHMARKS=ON >/dev/null
  cmake --build "$build" -j2 >/dev/null
fi
if [[ -n ${TOLVANE_SANDBOX_UNAVAILABLE:-} ]]; then
  echo "compare.sh: no sandbox: $TOLVANE_SANDBOX_UNAVAILABLE" >&2
  [[ ${1:-} != check ]] || exit 77
  exit 1
elif [[ ${TOLVANE_IN_SANDBOX:-} != 1 ]]; then
  exec "$bench/../scripts/run-in-sandbox.sh" bash "$bench/compare.sh" "$@"
fi
[[ $(stat -f -c %T /var/log) == tmpfs ]] || exit 1
# Both run as from a clean shell, where the library's output gets descriptor
# 4: a descriptor the caller leaked (ctest's log on 3) would move it.
exec 3>&- 4>&- 5>&- 6>&- 7>&- 8>&- 9>&-

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
# pieces TOOL: the pieces of TOOL's plan for misc (`TOOL --list misc`) in
# output order: paths in SOURCES, kinds (archive, active) in KINDS; the
# archives alone in ARCHIVES, the active log in ACTIVE. --list exits 1 where
# it expects a piece left out; its pieces are the request's all the same.
pieces() {
  local list source kind
  list=$("$1" --list misc) || (($? == 1))
  SOURCES=() KINDS=() ARCHIVES=() ACTIVE=()
  while IFS=$'\t' read -r source kind _; do
    [[ -n $source && $source != \#* ]] || continue
    SOURCES+=("$source") KINDS+=("$kind")
    if [[ $kind == archive ]]; then ARCHIVES+=("$source"); else ACTIVE+=("$source"); fi
  done <<<"$list"
}

# The library's command texts for the pieces in SOURCES, into OUT through
# descriptor 4 as the library writes its unnamed file: from the list's end
# (the active log copied, then the archives decompressed newest first), then
# in its order each header and scratch file. What the library does
# in-process costs the floor no process either: its scratch directory is made
# before the clock starts, and it empties each scratch file (a builtin) where
# the library unlinks it.
floor() {
  local nl=$'\n' s=/var/tmp/tolvane.floor i source && exec 4>"$1"
  for ((i = ${#SOURCES[@]} - 1; i >= 0; i--)); do
    source=${SOURCES[i]}
    if [[ ${KINDS[i]} == active ]]; then
      /bin/sh -c "/bin/cp -f $source $s/${source##*/}-$$.txt 2>/dev/null"
    else
      /bin/sh -c "sudo /bin/gunzip -c $source > $s/${source##*/}-$$.txt 2>/dev/null"
    fi
  done
  for source in "${SOURCES[@]}"; do
    /bin/sh -c "/bin/echo -e \"$nl$source follows:$nl\" >> /proc/self/fd/4 2>/dev/null"
    /bin/sh -c "/bin/cat $s/${source##*/}-$$.txt >> /proc/self/fd/4 2>/dev/null"
    : >"$s/${source##*/}-$$.txt"
  done
}

plain() { zcat -- "${ARCHIVES[@]}" >"$1" && cat -- "${ACTIVE[@]}" >>"$1"; }

# run HISTORY ROUND WHAT [TRACE...]: one timed run of WHAT into /var/tmp/WHAT
# (WHAT_disk: into $disk), the library under TRACE if given.
run() {
  local out=/var/tmp/$3 status=0 t0
  [[ $3 != *_disk ]] || out=$disk/$3
  rm -rf "$out" /var/tmp/tolvane.floor
  [[ $3 != floor* ]] || mkdir -m 700 /var/tmp/tolvane.floor
  t0=$EPOCHREALTIME
  case $3 in
    library*) "${@:4}" "$build/tolvane-getlog" misc "$out" ;;
    after) "${@:4}" "$build/tolvane-getlog" --cursor-file /var/tmp/cursor misc "$out" ;;
    since) "${@:4}" "$build/tolvane-getlog" --since "@$since" misc "$out" ;;
    list) "$build/tolvane-getlog" --list misc >"$out" ;;
    *) ("${3%_disk}" "$out") ;;
  esac &>/dev/null || status=$?
  echo "$1 $2 $3 $((10#${EPOCHREALTIME/./} - 10#${t0/./})) $status" >>"$results/samples.txt"
}

# The sh -c texts in a trace, scratch directory and process id aside.
texts() { sed -nE 's#/var/tmp/tolvane\.[^/]*/#/S/#g; s#-[0-9]+\.txt#.txt#g
  s/.*execve\("\/bin\/sh", \["[^"]*", "-c", (.*)\], 0x.*/\1/p' "$1"; }

trace() { strace -qq -T -s 4096 -e signal=none "$@"; }

# traced_floor TRACE OUT STRACE_OPTION...: the floor into OUT under strace.
traced_floor() {
  rm -rf "$2" /var/tmp/tolvane.floor && mkdir -m 700 /var/tmp/tolvane.floor
  trace "${@:3}" -o "$1" bash -c "$(declare -f floor; declare -p SOURCES KINDS); floor ${2@Q}" &>/dev/null
}

# check HISTORY COUNT BYTES: untimed runs that warm the caches; compares the
# bytes the library (on disk), the floor and plain wrote and, up to 100
# archives (tracing slows each command threefold), the commands library and
# floor started; sums the library's fsync calls.
check() {
  local t=/var/tmp/trace same ran="commands not traced" syncs
  local follow=(-f --seccomp-bpf -e trace=execve,fsync)
  (($2 <= 100)) || follow=(-e trace=fsync)
  run "$1" 0 library_disk trace "${follow[@]}" -o $t.library
  traced_floor $t.floor /var/tmp/floor "${follow[@]}"
  run "$1" 0 plain
  cmp -s "$disk/library_disk" /var/tmp/floor && same=the || same=DIFFERENT
  (($2 > 100)) || { cmp -s <(texts $t.library) <(texts $t.floor) && ran=the || ran=DIFFERENT
    ran="$ran $(texts $t.floor | wc -l) commands"; }
  syncs=$(awk -F'<' '/fsync/ && / = / { n++; s += $NF } END { printf "%d, %.2f ms", n, s * 1e3 }' $t.library)
  echo "$1: library and floor wrote $same $(wc -c </var/tmp/floor) bytes and ran $ran;" \
    "plain $(wc -c </var/tmp/plain) of $3; the library's fsync calls on disk: $syncs" \
    >>"$results/checks.txt"
  rm -f $t.*
}

# check_floor TOOL: TOOL misc and the floor, both traced, on 10 archives of
# 4 KiB and the active log; fails, with the differences, unless the floor ran
# TOOL's 33 sh -c texts and wrote its bytes.
check_floor() {
  local t=/var/tmp/trace follow=(-f --seccomp-bpf -e trace=execve) status=0 n
  lay_out 10 4096
  pieces "$1"
  trace "${follow[@]}" -o $t.library "$1" misc /var/tmp/library &>/dev/null || status=$?
  traced_floor $t.floor /var/tmp/floor "${follow[@]}"
  n=$(texts $t.library | wc -l)
  if ((status == 0 && n == 33)) && diff <(texts $t.library) <(texts $t.floor) &&
    cmp /var/tmp/library /var/tmp/floor; then
    echo "compare.sh: the floor ran the $n commands of $1 and wrote its $(wc -c </var/tmp/floor) bytes"
  else
    echo "compare.sh: the floor is not $1's command sequence ($1 exited $status, ran $n commands)" >&2
    return 1
  fi
}
# ran TRACE: how many times the traced processes started sudo and gunzip (an
# execve that succeeded), the sh -c texts that decompress ("sudo /bin/gunzip")
# and all sh -c texts.
ran() {
  started() { grep -cE "execve\(\"[^\"]*/$1\", .* = 0( <|\$)" "$2"; }
  printf '%d sudo, %d gunzip, %d "sudo /bin/gunzip" of %d sh -c texts' "$(started sudo "$1")" \
    "$(started gunzip "$1")" "$(texts "$1" | grep -c 'sudo /bin/gunzip')" "$(texts "$1" | wc -l)"
}

# select_part [ROUNDS]: what a selection costs. On 100 archives of 4 KiB the
# whole request against one after a position (--cursor-file) with one line
# appended to the active log before each run (outside the timed region), the
# two alternating; on 1,000, --since selecting the 2 newest archives and the
# active log by their modification times. Round 0 is untimed and traced; each
# timed run after a position is checked to write the header and the new line
# alone. Samples go to samples.txt, checks to checks.txt, the table to
# select.txt.
select_part() {
  local t=/var/tmp/trace history=select100x4KiB active size line round k i
  local stamp expect=/var/tmp/expect exact=0 follow=(-f --seccomp-bpf -e trace=execve)
  lay_out 100 4096 && pieces "$build/tolvane-getlog" && active=${ACTIVE[0]}
  rm -f /var/tmp/cursor
  run "$history" 0 library
  "$build/tolvane-getlog" --cursor-file /var/tmp/cursor misc /var/tmp/after &>/dev/null
  # append_line ROUND: one line more in the active log, and in $expect what
  # a run after the position must write.
  append_line() {
    size=$(stat -c %s "$active")
    printf -v line '%s line %010d the quick brown fox jumps over a dog.' "${active##*/}" $((64 + $1))
    echo "$line" >>"$active"
    printf '\n%s follows from byte %d:\n\n%s\n' "$active" "$size" "$line" >$expect
  }
  append_line 0
  run "$history" 0 after trace "${follow[@]}" -o $t.after
  cmp -s /var/tmp/after $expect && exact=the || exact=NOT
  echo "$history: after a position, round 0 wrote $exact header and new line alone" \
    "($(wc -c </var/tmp/after) bytes); ran $(ran $t.after)" >>"$results/checks.txt"
  exact=0
  for ((round = 1; round <= ${1:-21}; round++)); do
    for k in 0 1; do
      if (((round + k) % 2)); then
        append_line "$round"
        run "$history" "$round" after
        ! cmp -s /var/tmp/after $expect || exact=$((exact + 1))
      elif ((round <= ${1:-9})); then
        run "$history" "$round" library
      fi
    done
  done
  echo "$history: after a position, $exact of ${1:-21} timed runs wrote the header and" \
    "their new line alone" >>"$results/checks.txt"

  # 1,000 archives, aged 10 s apart in the order of the history, the active
  # log last; --since just after the third-newest archive's time.
  history=select1000x4KiB
  lay_out 1000 4096 && pieces "$build/tolvane-getlog"
  stamp=$(($(date +%s) - 100000))
  for ((i = 0; i < ${#SOURCES[@]}; i++)); do touch -d "@$((stamp + 10 * i))" "${SOURCES[i]}"; done
  since=$((stamp + 10 * (${#SOURCES[@]} - 4) + 1))
  for i in 3 2 1; do
    printf '\n%s follows:\n\n' "${SOURCES[-i]}"
    if [[ ${KINDS[-i]} == archive ]]; then zcat "${SOURCES[-i]}"; else cat "${SOURCES[-i]}"; fi
  done >$expect
  run "$history" 0 since trace "${follow[@]}" -o $t.since
  cmp -s /var/tmp/since $expect && exact=exactly || exact=NOT
  echo "$history: --since @$since wrote $exact ${SOURCES[-3]##*/}, ${SOURCES[-2]##*/} and" \
    "${SOURCES[-1]##*/} ($(wc -c </var/tmp/since) bytes, $(grep -c ' follows' /var/tmp/since)" \
    "headers); ran $(ran $t.since)" >>"$results/checks.txt"
  for ((round = 1; round <= ${1:-21}; round++)); do run "$history" "$round" since; done
  rm -f $t.* $expect /var/tmp/cursor /var/tmp/library /var/tmp/after /var/tmp/since
  grep '^select' "$results/checks.txt" >"$results/select.txt"
  select_table | tee -a "$results/select.txt"
}

# The medians (fastest-slowest round) of the selections in ms, against the
# whole request over the same history: over 100 archives from the same
# rounds, over 1,000 from the 1000x4KiB history's library rounds, if run.
select_table() {
  sort -k4,4n "$results/samples.txt" | awk '
    $2 > 0 { t[$1, $3, ++n[$1, $3]] = $4 / 1e3 }
    function med(h, w) { return t[h, w, int((n[h, w] + 1) / 2)] }
    function row(what, h, w, wh, ww) {
      printf "| %s | %d | %.1f (%.1f-%.1f) |", what, n[h, w], med(h, w), t[h, w, 1], t[h, w, n[h, w]]
      if (n[wh, ww]) printf " %.1f | %.2f %% |\n", med(wh, ww), 100 * med(h, w) / med(wh, ww)
      else print " | |" }
    END { print "| request | rounds | wall (ms) | whole request (ms) | of the whole |\n|---|--:|--:|--:|--:|"
      row("100x4KiB, whole: `misc OUT`", "select100x4KiB", "library", "select100x4KiB", "library")
      row("100x4KiB, after a position, one new line: `--cursor-file C misc OUT`",
        "select100x4KiB", "after", "select100x4KiB", "library")
      row("1000x4KiB, 2 newest archives and the active log: `--since @T misc OUT`",
        "select1000x4KiB", "since", "1000x4KiB", "library") }'
}

# 65,536 archives, copies of one small gzip file, and the active log:
# BM_PlanEntireLog, then `--list` once untimed and 5 times timed.
list_part() {
  rm -f /var/log/misc* && echo 32768 >/var/log/misc.txt && echo misc >/var/log/misc32768.log
  echo "misc archive line" | gzip -1 | perl -e 'local $/; my $z = <STDIN>; for (0 .. 65535) {
    open(my $f, ">", sprintf("/var/log/misc%05d.log.gz", $_)) or die; print $f $z; close $f or die }'
  "$gbench" --benchmark_filter=PlanEntireLog --benchmark_repetitions=5 \
    --benchmark_report_aggregates_only=true 2>&1 | tee "$results/plan.txt"
  for round in 0 1 2 3 4 5; do run 65536x "$round" list; done
  echo "65536x: --list listed $(grep -vc '^#' /var/tmp/list) pieces" >>"$results/checks.txt"
  rm -f /var/tmp/list
}

case ${1:-} in
  select) results=$build/select && mkdir -p "$results" && rm -f "$results"/*
    select_part "${2:-}"; exit ;;
  gbench) lay_out 10 4096 && exec "$gbench" "${@:2}" ;;
  check) check_floor "${2:?usage: compare.sh check TOOL}"; exit ;;
  list) results=$build/list && mkdir -p "$results" && rm -f "$results"/*
    list_part && sort -k4,4n "$results/samples.txt" |
      awk '$2 > 0 { t[++n] = $4 / 1e6 } END { printf "--list, 65,536 archives: median %.3f s (%.3f-%.3f) in %d runs\n", t[int((n + 1) / 2)], t[1], t[n], n }'
    exit ;;
esac

mkdir -p "$results" "$disk" && rm -f "$results"/*
{ nproc; grep -m1 'model name' /proc/cpuinfo; uname -sr; g++ --version | head -1
  readlink -f /bin/sh; sudo -V | head -1; dpkg-query -W libbenchmark-dev
  findmnt -no FSTYPE,SOURCE,OPTIONS -T "$disk"; cat /proc/loadavg; } >"$results/machine.txt"
lay_out 10 4096
"$gbench" --benchmark_filter=OrderNames --benchmark_repetitions=5 \
  --benchmark_report_aggregates_only=true 2>&1 | tee "$results/order_names.txt"
whats=(library floor plain library_disk floor_disk) names=""
for entry in "10x4KiB 10 4096 ${1:-21}" "100x4KiB 100 4096 ${1:-9}" \
  "1000x4KiB 1000 4096 ${1:-3}" "8x64MiB 8 67108864 ${1:-5}"; do
  read -r name count bytes rounds <<<"$entry"
  names+=" $name"
  lay_out "$count" "$bytes"
  pieces "$build/tolvane-getlog"
  check "$name" "$count" $(((count + 1) * bytes))
  for ((round = 1; round <= rounds; round++)); do
    for k in 0 1 2 3 4; do run "$name" "$round" "${whats[(round + k) % 5]}"; done
  done
  rm -rf /var/tmp/library /var/tmp/floor /var/tmp/plain /var/tmp/tolvane.floor "$disk"/*
  "$gbench" --benchmark_filter=GetEntireLog --benchmark_repetitions=3 \
    --benchmark_report_aggregates_only=true --benchmark_format=csv >"$results/request_$name.csv"
done
select_part "${1:-}"

list_part
{ awk '$5 != 0 { print "exit status", $5, "in", $0 }' "$results/samples.txt"
  ls -A /var/tmp | sed 's/^/left in \/var\/tmp: /'; } >>"$results/checks.txt"
cat "$results/checks.txt"

# Per history: median wall time (fastest-slowest round) of each way, and the
# medians of BM_GetEntireLog's in-process request and its counters; a second
# row for the outputs on disk.
sort -k4,4n "$results/samples.txt" | awk -v names="$names" -v dir="$results" \
  -v fs="$(findmnt -no FSTYPE -T "$disk")" '
  FILENAME != "-" { gsub(/"/, ""); split($0, f, ",")
    if (FNR == 1) for (i in f) col[f[i]] = i
    else if (f[1] ~ /_median$/) for (c in col) gb[FILENAME, c] = f[col[c]]
    next }
  $2 > 0 { t[$1, $3, ++n[$1, $3]] = $4 / 1e6 }
  function cell(h, w,  k) { k = n[h, w]; m[w] = t[h, w, int((k + 1) / 2)]
    return sprintf("%.3f (%.3f-%.3f)", m[w], t[h, w, 1], t[h, w, k]) }
  END { print "| history | rounds | library (s) | floor (s) | plain (s) | library/floor" \
      " | library - floor (ms) | library/plain | in-process request (s) | library CPU (ms)" \
      " | RSS before / peak (KiB) | commands CPU (ms) |\n|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|"
    for (i = 1; i <= split(names, hs, " "); i++) { h = hs[i]; c = dir "/request_" h ".csv"
      printf "| %s | %d | %s | %s | %s | %.3f | %+.1f | %.1f | %.3f | %.1f | %d / %d | %.0f |\n",
        h, n[h, "library"], cell(h, "library"), cell(h, "floor"), cell(h, "plain"),
        m["library"] / m["floor"], (m["library"] - m["floor"]) * 1e3, m["library"] / m["plain"],
        gb[c, "real_time"] / 1e3, gb[c, "self_cpu_ms"], gb[c, "rss_before_kib"],
        gb[c, "peak_rss_kib"], gb[c, "children_cpu_ms"]
      printf "| %s, output on %s | %d | %s | %s | | %.3f | %+.1f | | | | | |\n", h, fs,
        n[h, "library_disk"], cell(h, "library_disk"), cell(h, "floor_disk"),
        m["library_disk"] / m["floor_disk"], (m["library_disk"] - m["floor_disk"]) * 1e3 }
    printf "\n`tolvane-getlog --list misc`, 65,536 archives: %s s in %d runs\n",
      cell("65536x", "list"), n["65536x", "list"] }' \
  "$results"/request_*.csv - | tee "$results/summary.md"
{ printf '\nParts of a history (select.txt):\n\n' && select_table; } | tee -a "$results/summary.md"
