#!/usr/bin/env bash
# Builds the Debian package from the build tree and checks what it holds: both programs,
# the desktop entry and the icons, dependencies on Debian's runtime packages, nothing of
# the test suite; then unpacks it into a temporary root and starts the command from there.
#   deb_test.sh BUILD_DIR WITH_CONVERT(0|1)
set -euo pipefail
build=$1
with_convert=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/*.deb)
fail=0
check() { if ! "$@"; then echo "FAILED: $*"; fail=1; fi; }

dpkg-deb -c "$deb" | awk '{print $NF}' | sed 's|^\./|/|' >"$work/contents"
for f in /usr/bin/larkfield-porter /usr/share/applications/larkfield-porter.desktop \
         /usr/share/icons/hicolor/16x16/apps/larkfield-porter.png \
         /usr/share/icons/hicolor/48x48/apps/larkfield-porter.png; do
  check grep -qx "$f" "$work/contents"
done
if [ "$with_convert" = 1 ]; then check grep -qx /usr/bin/larkfield-convert "$work/contents"; fi
# Nothing of the build or the tests: no static libraries, headers or test programs.
check test -z "$(grep -E '\.(a|hpp|h)$|/test_|gtest' "$work/contents" || true)"

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for pkg in libqt6widgets6 libc6; do
  check grep -q "$pkg" <<<"$depends"
done
# The converter reads messages with GMime: the package must pull it in.
if [ "$with_convert" = 1 ]; then check grep -q libgmime-3.0-0 <<<"$depends"; fi
test "$(dpkg-deb -f "$deb" Package)" = larkfield-mail-porter || { echo "wrong package name"; fail=1; }

dpkg-deb -x "$deb" "$work/root"
check grep -q '^Exec=larkfield-porter' "$work/root/usr/share/applications/larkfield-porter.desktop"
if [ "$with_convert" = 1 ]; then
  out=$("$work/root/usr/bin/larkfield-convert" --version)
  echo "$out"
  check grep -q 'larkfield-convert' <<<"$out"
fi
exit $fail
