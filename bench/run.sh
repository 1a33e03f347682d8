#!/usr/bin/env bash
# The end-to-end benchmark of the command-line converter: mailbox-shaped trees of
# 10,000 and 100,000 messages (bench/tools/gen_mailbox.py, fixed seed), each converted
# once, next to copying the same tree (cp -r, then sync) and reading the PST back with
# readpst. Prints messages per second, MB per second and peak memory.
#   bench/run.sh [BUILD_DIR] [COUNTS...]      (defaults: build 10000 100000)
# Needs about 3.5 GB of free space per 100,000 messages, twice (tree and PST), in
# ${LARKFIELD_BENCH_DIR:-/tmp}.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
shift || true
counts=("$@")
[ ${#counts[@]} -gt 0 ] || counts=(10000 100000)
convert="$build/cli/larkfield-convert"
[ -x "$convert" ] || { echo "run.sh: build $convert first" >&2; exit 2; }
work=$(mktemp -d "${LARKFIELD_BENCH_DIR:-/tmp}/larkfield-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }
now() { date +%s.%N; }

printf '%-9s %9s %9s %8s %8s %9s %9s %9s %9s\n' messages MB convert_s msg/s MB/s peak_MB \
  cp_sync_s readpst_s pst_MB
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
  t0=$(now)
  /usr/bin/time -v -o "$work/time-$n.txt" "$convert" --quiet --json \
    --output-dir "$work/out-$n" "$tree" >"$work/summary-$n.json"
  sync
  t1=$(now)
  conv_s=$(seconds "$t0" "$t1")
  peak_kb=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/time-$n.txt")
  pst=$(ls "$work/out-$n"/*.pst)
  pst_mb=$(du -m --apparent-size "$pst" | cut -f1)

  mkdir -p "$work/readpst-$n"
  t0=$(now)
  readpst -j 0 -q -S -o "$work/readpst-$n" "$pst" >/dev/null 2>&1 || true
  t1=$(now)
  rp_s=$(seconds "$t0" "$t1")
  rm -rf "$work/readpst-$n"

  awk -v n="$n" -v mb="$mb" -v s="$conv_s" -v peak="$peak_kb" -v cp="$cp_s" -v rp="$rp_s" \
    -v pmb="$pst_mb" 'BEGIN { printf "%-9d %9d %9.2f %8.0f %8.1f %9.1f %9.2f %9.2f %9d\n",
      n, mb, s, n / s, mb / s, peak / 1024, cp, rp, pmb }'
  echo "  summary: $(cat "$work/summary-$n.json")"
  rm -rf "$tree" "$work/out-$n"
done
