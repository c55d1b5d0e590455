#!/bin/bash
# Reproduces every figure of BENCHMARKS.md. From the repository root, as root:
#
#     bench/run.sh
#
# It builds the library, tolvane-getlog and the benchmarks in build-bench/
# (Release), then re-runs itself in the sandbox of
# scripts/run-in-sandbox.sh (private tmpfs on /var/log and /var/tmp,
# /etc overlaid), so the host's fixed directories are never touched. There it
#   1. runs the Google Benchmark of ordering 4,096 .. 65,536 archive names,
#      and bench/spawn_costs.sh (the cost of each kind of command);
#   2. for each history (10, 100 and 1,000 archives of 4 KiB of text, and 8
#      archives of 64 MiB; an active log of the same size each) builds the
#      history in /var/log, runs the three below once untimed (checking that
#      the library and the floor write the same bytes), then times,
#      alternating in one run, 21, 11, 5 and 5 rounds of
#        library  tolvane-getlog misc OUT
#        floor    bench/floor.sh OUT   (the same commands, each via sh -c)
#        plain    bench/plain.sh OUT   (zcat of the archives, cat of the log)
#      and, after each round, bench/tolvane_getlog_driver misc OUT, the same
#      request in-process, for the library's own CPU time and peak memory;
#   3. writes bench/results/ (samples, summary table, benchmark output,
#      machine) and the plot bench/results/wall_time.png.
# The outputs go to /var/tmp (tmpfs) and are deleted after every round.
# Environment: RESULTS_DIR (default bench/results); REPS, when set, the
# rounds of every history (a quick look:
# REPS=1); BUILD_DIR (default build-bench).
# The whole run takes about 5 minutes on 2 cores.
set -euo pipefail
export LC_ALL=C

bench=$(cd "${BASH_SOURCE[0]%/*}" && pwd)
repo=${bench%/bench}
build=${BUILD_DIR:-$repo/build-bench}
[[ $build = /* ]] || build=$repo/$build
results=${RESULTS_DIR:-$bench/results}

if [[ -n ${TOLVANE_SANDBOX_UNAVAILABLE:-} ]]; then
  echo "run.sh: no sandbox: $TOLVANE_SANDBOX_UNAVAILABLE; nothing measured" >&2
  exit 1
fi
if [[ ${TOLVANE_IN_SANDBOX:-} != 1 ]]; then
  missing=()
  for package in cmake g++ make sudo gzip util-linux libbenchmark-dev gnuplot-nox; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
      missing+=("$package")
  done
  if (( ${#missing[@]} )); then
    apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"
  fi
  cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release \
    -DTOLVANE_BUILD_TESTS=OFF -DTOLVANE_BUILD_BENCHMARKS=ON > /dev/null
  cmake --build "$build" -j2 > /dev/null
  BUILD_DIR=$build exec "$repo/scripts/run-in-sandbox.sh" \
    bash "$bench/run.sh" "$@"
fi
for dir in /var/log /var/tmp; do
  if [[ $(stat -f -c %T "$dir") != tmpfs ]]; then
    echo "run.sh: $dir is not the sandbox's tmpfs; stopping" >&2
    exit 1
  fi
done

getlog=$build/tolvane-getlog
driver=$build/bench/tolvane_getlog_driver
order_bench=$build/bench/tolvane_order_bench
out_dir=/var/tmp/tolvane-bench
mkdir -p "$results" "$out_dir"
samples=$results/samples.tsv
usage=$results/driver.tsv
checks=$results/checks.txt
printf 'history\tround\twhat\twall_us\tstatus\n' > "$samples"
printf 'history\tround\twall_us\tok\tself_user_us\tself_sys_us\tself_maxrss_kb\tchild_user_us\tchild_sys_us\tchild_maxrss_kb\n' > "$usage"
: > "$checks"

# --- the machine -----------------------------------------------------------
{
  echo "nproc: $(nproc)"
  echo "cpu: $(grep -m1 '^model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
  echo "memory: $(awk '/^MemTotal/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo)"
  echo "kernel: $(uname -sr)"
  echo "compiler: $(g++ --version | head -1)"
  echo "benchmark library: libbenchmark $(dpkg-query -W -f '${Version}' libbenchmark-dev 2>/dev/null || echo '?')"
  echo "sh: $(readlink -f /bin/sh); sudo: $(sudo -V | head -1)"
} > "$results/machine.txt"
cat "$results/machine.txt"

# --- 1. ordering names -----------------------------------------------------
echo "== ordering archive names (Google Benchmark)"
"$order_bench" --benchmark_out="$results/order_bench.json" \
  --benchmark_out_format=json 2>&1 | tee "$results/order_bench.txt"

echo "== cost of each kind of command, through sh -c (mean of 200)"
bash "$bench/spawn_costs.sh" 200 | tee "$results/spawn_costs.txt"

# --- 2. whole requests -----------------------------------------------------
now_us() { local t=$EPOCHREALTIME; echo $(( 10#${t/./} )); }

scratch_left() {
  local left=(/var/tmp/misc*-*.txt)
  [[ -e ${left[0]} ]] && echo "${#left[@]}" || echo 0
}

# time_one HISTORY ROUND WHAT [keep]: runs WHAT into $out_dir/WHAT and
# appends a sample (round 0: the untimed check pass, left out of the
# medians). The output is deleted at once unless "keep", so that every timed
# command starts with the same tmpfs contents.
time_one() {
  local history=$1 round=$2 what=$3 out=$out_dir/$3 status=0 t0 t1
  local command
  case $what in
    library) command=("$getlog" misc "$out") ;;
    floor) command=(bash "$bench/floor.sh" "$out") ;;
    plain) command=(bash "$bench/plain.sh" "$out") ;;
  esac
  rm -f "$out"
  t0=$EPOCHREALTIME
  "${command[@]}" > /dev/null 2>&1 || status=$?
  t1=$EPOCHREALTIME
  printf '%s\t%s\t%s\t%s\t%s\n' "$history" "$round" "$what" \
    $(( 10#${t1/./} - 10#${t0/./} )) "$status" >> "$samples"
  local left; left=$(scratch_left)
  if (( left != 0 )); then
    echo "$history round $round: $what left $left scratch files" >> "$checks"
    rm -f /var/tmp/misc*-*.txt
  fi
  [[ ${4:-} = keep ]] || rm -f "$out"
}

# name, archives, bytes of text per piece, timed rounds (more for the short
# ones, whose medians noise moves most)
histories=("10x4KiB 10 4096 21" "100x4KiB 100 4096 11" "1000x4KiB 1000 4096 5"
           "8x64MiB 8 67108864 5")
printf 'history\tarchives\tpiece_bytes\ttext_bytes\tgz_bytes\n' > "$results/histories.tsv"
for entry in "${histories[@]}"; do
  read -r history count bytes rounds <<< "$entry"
  rounds=${REPS:-$rounds}
  echo "== history $history: making it"
  bash "$bench/make_history.sh" "$count" "$bytes"
  gz_bytes=$(cat /var/log/misc*.log.gz | wc -c)
  printf '%s\t%s\t%s\t%s\t%s\n' "$history" "$count" "$bytes" \
    $(( (count + 1) * bytes )) "$gz_bytes" >> "$results/histories.tsv"
  whats=(library floor plain)
  # An untimed pass first, which also warms the caches: the floor must write
  # what the library writes, byte for byte; the plain way the same pieces
  # without the header blocks.
  for what in "${whats[@]}"; do time_one "$history" 0 "$what" keep; done
  if cmp -s "$out_dir/library" "$out_dir/floor"; then
    echo "$history: library output = floor output ($(wc -c < "$out_dir/library") bytes)" >> "$checks"
  else
    echo "$history: library output DIFFERS from floor output" >> "$checks"
  fi
  plain_bytes=$(wc -c < "$out_dir/plain")
  if (( plain_bytes == (count + 1) * bytes )); then
    echo "$history: plain output = the $((count + 1)) pieces ($plain_bytes bytes)" >> "$checks"
  else
    echo "$history: plain output has $plain_bytes bytes, not $(( (count + 1) * bytes ))" >> "$checks"
  fi
  rm -f "$out_dir"/*
  for ((round = 1; round <= rounds; round++)); do
    # A different one goes first each round.
    for ((k = 0; k < 3; k++)); do
      time_one "$history" "$round" "${whats[(round + k) % 3]}"
    done
    rm -f "$out_dir"/*
    t0=$EPOCHREALTIME
    report=$("$driver" misc "$out_dir/driver") || true
    t1=$EPOCHREALTIME
    rm -f "$out_dir"/*
    get() { awk -v k="$1" '$1 == k {print $2}' <<< "$report"; }
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$history" "$round" \
      $(( 10#${t1/./} - 10#${t0/./} )) "$(get ok)" "$(get self_user_us)" \
      "$(get self_sys_us)" "$(get self_maxrss_kb)" "$(get child_user_us)" \
      "$(get child_sys_us)" "$(get child_maxrss_kb)" >> "$usage"
    echo "   round $round of $rounds done"
  done
done
rm -rf "$out_dir"
if ! grep -q 'scratch files' "$checks"; then
  echo "no command left a scratch file in /var/tmp after any run" >> "$checks"
fi
cat "$checks"

# --- 3. summary and plot ---------------------------------------------------
awk -F'\t' -v usage="$usage" -v hist="$results/histories.tsv" \
    -v dat="$results/summary.dat" '
  function median(list,   n, a, i, j, t) {
    n = split(list, a, " ")
    for (i = 2; i <= n; i++) {
      t = a[i] + 0
      for (j = i - 1; j >= 1 && a[j] + 0 > t; j--) a[j + 1] = a[j]
      a[j + 1] = t
    }
    return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
  }
  function spread(list,   n, a, i, lo, hi) {
    n = split(list, a, " "); lo = hi = a[1] + 0
    for (i = 2; i <= n; i++) { if (a[i] + 0 < lo) lo = a[i] + 0; if (a[i] + 0 > hi) hi = a[i] + 0 }
    return sprintf("%.3f-%.3f", lo / 1e6, hi / 1e6)
  }
  FILENAME == hist && FNR > 1 { order[++h] = $1; archives[$1] = $2; text[$1] = $4; gz[$1] = $5; next }
  FILENAME == usage && FNR > 1 {
    cpu[$1] = cpu[$1] " " ($5 + $6); rss[$1] = rss[$1] " " $7
    ccpu[$1] = ccpu[$1] " " ($8 + $9); if ($10 + 0 > cmax[$1]) cmax[$1] = $10 + 0
    if ($7 + 0 > maxrss[$1]) maxrss[$1] = $7 + 0
    ok[$1] = ok[$1] $4; next
  }
  FILENAME != hist && FILENAME != usage && FNR > 1 {
    if ($5 != 0) bad[$1, $3]++
    if ($2 == 0) next  # the untimed check pass
    wall[$1, $3] = wall[$1, $3] " " $4; rounds[$1, $3]++
  }
  END {
    print "| history | archives | text (MiB) | rounds | library (s) | floor (s) | plain (s) | library/floor | library/plain | library CPU (ms) | library peak RSS (KiB) | commands CPU (ms) | <= 1.05x floor |"
    print "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|"
    printf "# history text_bytes library_s floor_s plain_s\n" > dat
    all_pass = 1; lo = -1; hi = 0
    for (i = 1; i <= h; i++) {
      n = order[i]
      l = median(wall[n, "library"]); f = median(wall[n, "floor"]); p = median(wall[n, "plain"])
      pass = (l <= 1.05 * f) ? "pass" : "FAIL"
      if (pass != "pass") all_pass = 0
      m = maxrss[n]; if (lo < 0 || m < lo) lo = m; if (m > hi) hi = m
      printf "| %s | %d | %.2f | %d | %.3f | %.3f | %.3f | %.3f | %.2f | %.1f | %d | %.0f | %s |\n", \
        n, archives[n], text[n] / 1048576, rounds[n, "library"], l / 1e6, f / 1e6, p / 1e6, \
        l / f, l / p, median(cpu[n]) / 1000, m, median(ccpu[n]) / 1000, pass
      printf "%s %d %.6f %.6f %.6f\n", n, text[n], l / 1e6, f / 1e6, p / 1e6 >> dat
      spreads = spreads sprintf("| %s | %s | %s | %s |\n", n, spread(wall[n, "library"]), \
        spread(wall[n, "floor"]), spread(wall[n, "plain"]))
      if ((n, "library") in bad || (n, "floor") in bad || (n, "plain") in bad || ok[n] ~ /[^1]/)
        failures = failures " " n
    }
    print ""
    print "Fastest-slowest round (s):"
    print ""
    print "| history | library | floor | plain |"
    print "|---|---|---|---|"
    printf "%s", spreads
    print ""
    print "library CPU: user + system time of the request process itself (median); library peak RSS:"
    print "its ru_maxrss (largest of the rounds); commands CPU: user + system time of all the"
    printf "commands it started (median); the largest command peaked at"
    for (i = 1; i <= h; i++) printf " %d KiB (%s)%s", cmax[order[i]], order[i], i < h ? "," : ".\n"
    print ""
    printf "Wall time target (library <= 1.05 x floor at every size): %s\n", all_pass ? "PASS" : "FAIL"
    printf "Peak memory target (< 8 MiB at every size): %s (largest %d KiB)\n", hi < 8192 ? "PASS" : "FAIL", hi
    printf "Flat peak memory (largest within 10%% of smallest): %s (%d to %d KiB)\n", hi <= 1.10 * lo ? "PASS" : "FAIL", lo, hi
    if (failures != "") printf "Commands that failed in:%s\n", failures
  }' "$results/histories.tsv" "$usage" "$samples" | tee "$results/summary.md"

gnuplot -e "datafile='$results/summary.dat'; outfile='$results/wall_time.png'" \
  "$bench/plot.gp"
echo "== written: $results/summary.md, $results/wall_time.png"
