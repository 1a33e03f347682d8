#!/usr/bin/env bash
# The end-to-end benchmark of the command-line converter: mailbox-shaped trees of
# 10,000 and 100,000 messages (bench/tools/gen_mailbox.py, fixed seed), each converted
# once, next to copying the same tree (cp -r, then sync) and reading the PST back with
# readpst. Prints, per count: wall and CPU (user + sys) seconds of the conversion, the
# CPU cost per message, messages and MB per second, peak memory, and the wall seconds of
# cp and readpst. Then the growth of the CPU cost per message from the first count to the
# last (flat is 1.00x) and how many times cp's and readpst's time the conversion takes.
# Last, bench_run_scaling (when built) checks that the run's own cost per message is flat
# without the importer and the writer.
#   bench/run.sh [BUILD_DIR] [COUNTS...]      (defaults: build 10000 100000)
# Needs about 3.5 GB of free space per 100,000 messages, twice (tree and PST), in
# ${LARKFIELD_BENCH_DIR:-/tmp}. Exit status 1 when a conversion failed or wrote fewer
# messages than it was given, or readpst could not read a PST.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
shift || true
counts=("$@")
[ ${#counts[@]} -gt 0 ] || counts=(10000 100000)
for n in "${counts[@]}"; do
  [[ "$n" =~ ^[1-9][0-9]*$ ]] || { echo "run.sh: not a message count: $n" >&2; exit 2; }
done
convert="$build/cli/larkfield-convert"
[ -x "$convert" ] || { echo "run.sh: build $convert first" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "run.sh: needs /usr/bin/time (apt-get install time)" >&2; exit 2; }
have_readpst=1
command -v readpst >/dev/null || { have_readpst=0; echo "run.sh: no readpst; its column stays empty" >&2; }
work=$(mktemp -d "${LARKFIELD_BENCH_DIR:-/tmp}/larkfield-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
status=0

now() { date +%s.%N; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }
# The wall, user + sys seconds and peak kB that /usr/bin/time wrote with -f "%e %U %S %M".
field() { awk -v i="$2" 'END { print $i }' "$1"; }

echo "# $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load:$(uptime | sed 's/.*load average://')"
echo "# $("$convert" --version | head -1), build $build"
printf '%-9s %7s %8s %8s %10s %7s %7s %8s %8s %9s %8s\n' messages MB wall_s cpu_s cpu_ms/msg \
  msg/s MB/s peak_MB cp_s readpst_s pst_MB
first_cost="" last_cost="" sum_conv=0 sum_cp=0 sum_rp=0
for n in "${counts[@]}"; do
  tree="$work/mail-$n"
  /usr/bin/python3 bench/tools/gen_mailbox.py "$tree" --messages "$n" --folders 40 --seed 1 \
    >/dev/null
  sync
  mb=$(du -sm --apparent-size "$tree" | cut -f1)

  t0=$(now)
  cp -r "$tree" "$work/copy"
  sync
  t1=$(now)
  cp_s=$(seconds "$t0" "$t1")
  rm -rf "$work/copy"
  sync

  mkdir -p "$work/out-$n"
  rc=0
  t0=$(now)
  /usr/bin/time -f "%e %U %S %M" -o "$work/time-$n.txt" "$convert" --quiet --json \
    --output-dir "$work/out-$n" "$tree" >"$work/summary-$n.json" || rc=$?
  sync
  t1=$(now)
  conv_s=$(seconds "$t0" "$t1")
  cpu_s=$(awk '{ s = $2 + $3 } END { printf "%.2f", s }' "$work/time-$n.txt")
  peak_kb=$(field "$work/time-$n.txt" 4)
  converted=$(sed -n 's/.*"converted":\([0-9]*\).*/\1/p' "$work/summary-$n.json")
  if [ "$rc" -ne 0 ] || [ "${converted:-0}" -ne "$n" ]; then
    echo "run.sh: $n messages: exit status $rc, ${converted:-no} messages converted" >&2
    cat "$work/summary-$n.json" >&2
    status=1
  fi
  pst=$(find "$work/out-$n" -maxdepth 1 -name '*.pst' | head -1)
  pst_mb=0
  [ -n "$pst" ] && pst_mb=$(du -m --apparent-size "$pst" | cut -f1)

  rp_s=""
  if [ "$have_readpst" = 1 ] && [ -n "$pst" ]; then
    mkdir -p "$work/readpst-$n"
    t0=$(now)
    if ! readpst -j 0 -q -S -o "$work/readpst-$n" "$pst" >"$work/readpst-$n.txt" 2>&1; then
      echo "run.sh: readpst could not read the PST of $n messages:" >&2
      tail -5 "$work/readpst-$n.txt" >&2
      status=1
    fi
    t1=$(now)
    rp_s=$(seconds "$t0" "$t1")
    rm -rf "$work/readpst-$n"
  fi

  cost=$(awk -v c="$cpu_s" -v n="$n" 'BEGIN { printf "%.3f", c * 1000 / n }')
  [ -n "$first_cost" ] || first_cost=$cost
  last_cost=$cost
  sum_conv=$(awk -v a="$sum_conv" -v b="$conv_s" 'BEGIN { print a + b }')
  sum_cp=$(awk -v a="$sum_cp" -v b="$cp_s" 'BEGIN { print a + b }')
  [ -z "$rp_s" ] || sum_rp=$(awk -v a="$sum_rp" -v b="$rp_s" 'BEGIN { print a + b }')
  awk -v n="$n" -v mb="$mb" -v s="$conv_s" -v c="$cpu_s" -v cost="$cost" -v peak="$peak_kb" \
    -v cp="$cp_s" -v rp="${rp_s:--}" -v pmb="$pst_mb" 'BEGIN {
      printf "%-9d %7d %8.2f %8.2f %10.3f %7.0f %7.1f %8.1f %8.2f %9s %8d\n",
        n, mb, s, c, cost, n / s, mb / s, peak / 1024, cp, rp, pmb }'
  echo "  summary: $(cut -c1-400 "$work/summary-$n.json")"
  rm -rf "$tree" "$work/out-$n"
done

awk -v f="$first_cost" -v l="$last_cost" -v a="${counts[0]}" -v b="${counts[-1]}" 'BEGIN {
  printf "CPU cost per message, %d to %d messages: %.3f to %.3f ms (%.2fx)\n", a, b, f, l,
    (f > 0 ? l / f : 1) }'
awk -v c="$sum_conv" -v cp="$sum_cp" -v rp="$sum_rp" 'BEGIN {
  printf "conversion wall time over all counts: %.1f x cp -r + sync", (cp > 0 ? c / cp : 0)
  if (rp > 0) printf ", %.1f x readpst", c / rp
  printf "\n" }'

scaling="$build/bench/tools/bench_run_scaling"
if [ -x "$scaling" ]; then
  echo "# the run alone (no importer, no writer):"
  "$scaling" || { echo "run.sh: the run's cost per message grows with the count" >&2; status=1; }
fi
exit "$status"
