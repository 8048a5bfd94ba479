#!/usr/bin/env bash
# Builds the Debian package (varn_<version>_<arch>.deb) from this tree into
# build-package/ (or the folder given as $1) and checks what it holds: the
# programs, the help page, the menu entry (validated), the icon, the manual
# page (rendered) and the Qt dependencies.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
dir="${1:-$here/build-package}"
bash "$here/scripts/setup.sh"
cmake -S "$here" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DVARN_BUILD_TESTS=OFF \
  -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$dir" -j"$(nproc)"
rm -f "$dir"/varn_*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
deb="$(ls "$dir"/varn_*.deb)"

fail() { echo "package check: $*" >&2; exit 1; }
contents="$(dpkg-deb -c "$deb")"
for path in usr/bin/varn usr/bin/varn-cli usr/bin/varn-unit usr/share/varn/varn.html \
            usr/share/varn/demo/varn.cfg usr/share/varn/demo/varn.dev \
            usr/share/varn/demo/auto.cfg usr/share/varn/demo/sample.hex \
            usr/share/applications/varn.desktop usr/share/icons/hicolor/32x32/apps/varn.png \
            usr/share/man/man1/varn-cli.1.gz; do
  grep -q " \./$path\$" <<<"$contents" || fail "$path missing"
done
depends="$(dpkg-deb -f "$deb" Depends)"
for p in libqt6core6 libqt6gui6 libqt6widgets6 libqt6serialport6 qt6-qpa-plugins; do
  grep -q "$p" <<<"$depends" || fail "Depends lacks $p: $depends"
done

unpacked="$(mktemp -d)"
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
desktop-file-validate "$unpacked/usr/share/applications/varn.desktop" || fail "desktop entry invalid"
MANWIDTH=80 man -l "$unpacked/usr/share/man/man1/varn-cli.1.gz" | grep -q -- --list-ports ||
  fail "manual page does not render"
"$unpacked/usr/bin/varn-cli" --version | grep -qx "varn-cli [0-9.]*" || fail "varn-cli --version"
"$unpacked/usr/bin/varn" --version | grep -qx "varn [0-9.]*" || fail "varn --version"

echo "$deb"
echo "Depends: $depends"
echo "Install it with: sudo apt install $deb"
