#!/bin/bash
# Traces DRIVER (bench/entire_log.cc: one GetEntireLog) over ten misc archives
# across the wrap and checks that the library starts exactly its sh -c texts,
# in order, and writes the history's bytes. Scratch directory, process id
# and the output's descriptor vary; everything else is compared.
#
#   scripts/run-in-sandbox.sh bash tests/command_texts.sh DRIVER
set -euo pipefail
skip() { echo "command_texts: skipped: $1" >&2 && exit 77; }
command -v strace >/dev/null || skip "no strace"
[[ -z ${TOLVANE_SANDBOX_UNAVAILABLE:-} ]] || skip "no sandbox ($TOLVANE_SANDBOX_UNAVAILABLE)"
[[ ${TOLVANE_IN_SANDBOX:-} == 1 ]] || { echo "command_texts: run it in the sandbox" >&2 && exit 1; }

# Archives 65528 .. 65535, 0 and 1, oldest first, then the active log 2.
pieces=() && echo 2 >/var/log/misc.txt
for n in {65528..65535} 0 1 2; do
  printf -v piece /var/log/misc%05d.log "$n" && pieces+=("$piece")
  if ((n != 2)); then
    echo "archive $n" | gzip >"$piece.gz" && pieces[-1]+=.gz
  else echo "active $n" >"$piece"; fi
done
strace -f -qq -s 4096 -e trace=execve -o /var/tmp/trace "$1" misc /var/log/out

{ # The copy of the active log, then the archives newest first.
  echo "/bin/cp -f ${pieces[-1]} SCRATCH/${pieces[-1]##*/} 2>/dev/null"
  for ((k = ${#pieces[@]} - 2; k >= 0; k--)); do
    echo "sudo /bin/gunzip -c ${pieces[k]} > SCRATCH/${pieces[k]##*/} 2>/dev/null"
  done
  # Oldest first, each header (as strace shows it) and the scratch copy.
  for piece in "${pieces[@]}"; do
    echo "/bin/echo -e \\\"\\n$piece follows:\\n\\\" >> /proc/self/fd/N 2>/dev/null"
    echo "/bin/cat SCRATCH/${piece##*/} >> /proc/self/fd/N 2>/dev/null"
  done
} >/var/tmp/expected
# The scratch directory /var/tmp/tolvane.<pid>.XXXXXX holds <name>-<pid>.txt.
sed -nE 's/^[0-9]+ +execve\("\/bin\/sh", \["sh", "-c", "(.*)"\], 0x.*/\1/p' /var/tmp/trace |
  sed -E 's#/var/tmp/tolvane\.([0-9]+)\.[A-Za-z0-9]{6}/([^ ]+)-\1\.txt#SCRATCH/\2#g
    s#/proc/self/fd/[0-9]+#/proc/self/fd/N#g' >/var/tmp/started
diff -u /var/tmp/expected /var/tmp/started
[[ $(grep -oE '/var/tmp/tolvane\.[^/]+/|/proc/self/fd/[0-9]+' /var/tmp/trace | sort -u | wc -l) == 2 ]] ||
  { echo "command_texts: more than one scratch directory or output descriptor" >&2 && exit 1; }

for piece in "${pieces[@]}"; do
  printf '\n%s follows:\n\n' "$piece"
  if [[ $piece == *.gz ]]; then zcat "$piece"; else cat "$piece"; fi
done | cmp - /var/log/out
echo "command_texts: the $(wc -l </var/tmp/started) commands and the $(wc -c </var/log/out) bytes"
