#!/usr/bin/env bash
# Converts samples/mailbox and compares the PST's layout with the Outlook-made samples in
# ../shared/pst-samples node by node and property by property (pst/check/pstlayout).
# The output for the sample mailbox, with the reason for each difference, is kept in
# pst/check/LAYOUT.md. Usage: scripts/layout-report.sh [BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
samples=../shared/pst-samples
[ -d "$samples" ] || samples=../../shared/pst-samples
[ -d "$samples" ] || { echo "layout-report: no ../shared/pst-samples beside the checkout" >&2; exit 2; }
cmake --build "$build" --target larkfield-convert pstlayout >/dev/null
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
"$build/cli/larkfield-convert" --quiet --output-dir "$out" samples/mailbox
"$build/pst/check/pstlayout" "$out"/*.pst "$samples"/*.pst
