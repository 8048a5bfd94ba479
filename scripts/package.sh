#!/usr/bin/env bash
# Builds the Debian package (varn_<version>_<arch>.deb) from this tree into
# build-package/ (or the folder given as $1) and checks what it holds: the
# programs, the help page, the menu entry (validated), the icons, the manual
# pages (rendered), the Qt dependencies, lintian (no error, no warning) and
# the AppStream metadata (appstreamcli validate).
# The maintainer field is VARN_MAINTAINER, else "$DEBFULLNAME <$DEBEMAIL>",
# else a neutral placeholder; VARN_HOMEPAGE and VARN_SCREENSHOT_URL say where
# the home page and doc/screenshot.png are published.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
dir="${1:-$here/build-package}"
VARN_SETUP_EXTRA="lintian appstream ${VARN_SETUP_EXTRA:-}" bash "$here/scripts/setup.sh"
settings=()
maintainer="${VARN_MAINTAINER:-}"
if [ -z "$maintainer" ] && [ -n "${DEBFULLNAME:-}" ] && [ -n "${DEBEMAIL:-}" ]; then
  maintainer="$DEBFULLNAME <$DEBEMAIL>"
fi
[ -n "$maintainer" ] && settings+=("-DVARN_MAINTAINER=$maintainer")
[ -n "${VARN_HOMEPAGE:-}" ] && settings+=("-DVARN_HOMEPAGE=$VARN_HOMEPAGE")
[ -n "${VARN_SCREENSHOT_URL:-}" ] && settings+=("-DVARN_SCREENSHOT_URL=$VARN_SCREENSHOT_URL")
# Debian's hardening flags (stack protector, fortified functions, read-only
# relocations), as a Debian build would use them.
cmake -S "$here" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DVARN_BUILD_TESTS=OFF \
  -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
  -DCMAKE_C_FLAGS="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" "${settings[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)"
rm -f "$dir"/varn_*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
deb="$(ls "$dir"/varn_*.deb)"

fail() { echo "package check: $*" >&2; exit 1; }
contents="$(dpkg-deb -c "$deb")"
for path in usr/bin/varn usr/bin/varn-cli usr/bin/varn-unit usr/share/varn/varn.html \
            usr/share/varn/demo/varn.cfg usr/share/varn/demo/varn.dev \
            usr/share/varn/demo/auto.cfg usr/share/varn/demo/sample.hex \
            usr/share/applications/varn.desktop usr/share/icons/hicolor/16x16/apps/varn.png \
            usr/share/icons/hicolor/32x32/apps/varn.png usr/share/icons/hicolor/48x48/apps/varn.png \
            usr/share/icons/hicolor/64x64/apps/varn.png usr/share/icons/hicolor/128x128/apps/varn.png \
            usr/share/icons/hicolor/256x256/apps/varn.png usr/share/icons/hicolor/scalable/apps/varn.svg \
            usr/share/man/man1/varn-cli.1.gz usr/share/man/man1/varn.1.gz \
            usr/share/man/man1/varn-unit.1.gz usr/share/doc/varn/copyright \
            usr/share/doc/varn/changelog.gz usr/share/metainfo/net.varnet.varn.metainfo.xml; do
  grep -q " \./$path\$" <<<"$contents" || fail "$path missing"
done
depends="$(dpkg-deb -f "$deb" Depends)"
for p in libqt6core6 libqt6gui6 libqt6widgets6 libqt6serialport6 libqt6network6 libqt6charts6 qt6-qpa-plugins; do
  grep -q "$p" <<<"$depends" || fail "Depends lacks $p: $depends"
done

unpacked="$(mktemp -d)"
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
desktop-file-validate "$unpacked/usr/share/applications/varn.desktop" || fail "desktop entry invalid"
MANWIDTH=80 man -l "$unpacked/usr/share/man/man1/varn-cli.1.gz" | grep -q -- --list-ports ||
  fail "manual page does not render"
appstreamcli validate --no-net "$unpacked/usr/share/metainfo/net.varnet.varn.metainfo.xml" ||
  fail "AppStream metadata invalid"
# Run as root, lintian says so first; the tags are what counts.
status=0
tags="$(lintian --fail-on error,warning "$deb" 2>&1)" || status=$?
grep -v 'running with root privileges' <<<"$tags" || true
[ "$status" -eq 0 ] || fail "lintian reports an error or a warning"
"$unpacked/usr/bin/varn-cli" --version | grep -qx "varn-cli [0-9.]*" || fail "varn-cli --version"
"$unpacked/usr/bin/varn" --version | grep -qx "varn [0-9.]*" || fail "varn --version"
"$unpacked/usr/bin/varn" --help | grep -q -- "--workdir DIR" || fail "varn --help"

echo "$deb"
echo "Depends: $depends"
echo "Install it with: sudo apt install $deb"
