# Sourced by floor.sh and plain.sh (bash): finds the misc history the way a
# request does and sets
#   ACTIVE    the active log, /var/log/miscNNNNN.log with NNNNN the
#             checkpoint number read from /var/log/misc.txt
#   ARCHIVES  the archives /var/log/misc*.log.gz, oldest first: those
#             numbered above the checkpoint (written before the wrap), then
#             those up to it, each run in rising order
# Builtins only, so that finding the order starts no process.
LC_ALL=C  # name order of the glob = number order (five digits)
read -r checkpoint < /var/log/misc.txt
checkpoint=$((10#$checkpoint))
printf -v ACTIVE '/var/log/misc%05d.log' "$checkpoint"
before_wrap=()
after_wrap=()
for archive in /var/log/misc*.log.gz; do
  [[ -f $archive ]] || continue
  base=${archive##*/}
  if (( 10#${base:4:5} > checkpoint )); then
    before_wrap+=("$archive")
  else
    after_wrap+=("$archive")
  fi
done
ARCHIVES=("${before_wrap[@]}" "${after_wrap[@]}")
unset before_wrap after_wrap archive base
