#!/usr/bin/env bash
# The main job on a fresh machine: installs the dependencies, builds, converts the sample
# mailbox in samples/mailbox into a new PST under out/, and shows what two independent
# PST readers find in it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLARKFIELD_TESTS=OFF \
  -DLARKFIELD_BENCH=OFF
cmake --build build -j "$(nproc)"

mkdir -p out
pst=$(./build/cli/larkfield-convert --output-dir out samples/mailbox)
echo
echo "== The new PST: $pst"
echo
echo "== The file as libpff (pffinfo) reads it"
pffinfo "$pst" | sed -e "/^pffinfo /d" -e "/^$/d" || true
echo
echo "== Messages per folder as libpst (readpst) reads them"
listing=$(mktemp -d)
readpst -j 0 -q -S -o "$listing" "$pst" >/dev/null
(cd "$listing" && find . -mindepth 1 -type d | sort | while read -r d; do
  n=$(find "$d" -maxdepth 1 -type f ! -name '*-*' | wc -l)
  printf '  %-50s %3d messages\n' "${d#./}" "$n"
done)
rm -rf "$listing"
echo
echo "Done: $pst"
