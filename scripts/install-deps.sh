#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing and running need.
# Runs as root; elsewhere through sudo when it is there.
set -euo pipefail

packages=(
  # build
  g++ clang libclang-rt-14-dev cmake ninja-build pkg-config git
  # libraries
  qt6-base-dev libgmime-3.0-dev zlib1g-dev libgtest-dev
  # lupdate for the window's translation template (the build goes on without it)
  qt6-l10n-tools qt6-tools-dev
  # independent PST readers used by the tests and the demo
  pst-utils pff-tools python3 python3-pypff
  # Microsoft's PST SDK reader (../shared/tools/pstsdk-dump builds it) and pst-extractor
  libboost-dev nodejs
  # fonts for offscreen window rendering, /usr/bin/time for the benchmarks, packaging
  fonts-dejavu-core time dpkg-dev file
  # checks of the package, its desktop entry and its AppStream metainfo
  lintian desktop-file-utils appstream
)

as_root=()
if [ "$(id -u)" != 0 ]; then
  command -v sudo >/dev/null || { echo "install-deps: run as root (or install sudo)" >&2; exit 2; }
  as_root=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -q
"${as_root[@]}" apt-get install -y -q --no-install-recommends "${packages[@]}"
# Debian's nodejs comes without npm, a NodeSource nodejs brings its own and
# conflicts with Debian's npm package: install npm only where none is there.
if ! command -v npm >/dev/null; then
  "${as_root[@]}" apt-get install -y -q --no-install-recommends npm
fi

# pst-extractor at the version the lock file pins, into the checkout (not committed).
# Without the registry (no network, or a proxy whose certificate this system does not
# trust) the tests that read through pst-extractor skip and say so; the rest still run.
if ! npm ci --prefix "$(dirname "$0")/../tests/tools/pst-extractor" --no-audit --no-fund \
  --loglevel=error; then
  echo "install-deps: WARNING: pst-extractor could not be installed from the npm registry;" \
    "the tests that read through it will be skipped" >&2
  rm -rf "$(dirname "$0")/../tests/tools/pst-extractor/node_modules"
fi
