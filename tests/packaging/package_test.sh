#!/usr/bin/env bash
# Packs the already built tree with cpack (nothing is rebuilt), unpacks the .deb into a scratch root
# and checks what a Debian user gets: the program, tavrin-send and dbftool under /usr/bin,
# tavrin-send's manual page, a menu entry that
# validates and whose program and icon are in the package, the icons, AppStream metadata that
# validates and names that menu entry and whose screenshot is a picture of this repository, and a
# Depends line, worked out by dpkg-shlibdeps, naming the Qt 6 and QtKeychain libraries.
# Usage: package_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2

missing=()
for tool in cpack dpkg-deb dpkg-shlibdeps appstreamcli desktop-file-validate; do
  command -v "$tool" >/dev/null || missing+=("$tool")
done
if ((${#missing[@]})); then
  echo "SKIP: ${missing[*]} not installed (./test.sh installs them)"
  exit 77
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log" >&2; fail "cpack"; }
debs=("$scratch"/out/tavrin_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one tavrin_*.deb, got: ${debs[*]}"
deb=${debs[0]}

root=$scratch/root
dpkg -x "$deb" "$root"
for f in usr/bin/tavrin usr/bin/tavrin-send usr/bin/dbftool \
         usr/share/man/man1/tavrin-send.1.gz usr/share/applications/tavrin.desktop \
         usr/share/icons/hicolor/scalable/apps/tavrin.svg \
         usr/share/icons/hicolor/48x48/apps/tavrin.png \
         usr/share/icons/hicolor/256x256/apps/tavrin.png \
         usr/share/metainfo/org.tavrin.Tavrin.metainfo.xml; do
  [ -f "$root/$f" ] || fail "the package lacks /$f"
done
# Everything lives under /usr: nothing in /usr/local, /etc or the build's own paths.
outside=$(cd "$root" && find . -type f ! -path './usr/*')
[ -z "$outside" ] || fail "files outside /usr: $outside"

depends=$(dpkg-deb -f "$deb" Depends)
for lib in libqt6core6 libqt6gui6 libqt6widgets6 libqt6keychain1 libc6 libstdc++6; do
  [[ $depends =~ (^|[ ,])"$lib"([ ,]|$) ]] || fail "Depends does not name $lib: $depends"
done
# Written by dpkg-shlibdeps, not by hand: the C library comes with the least version it needs.
[[ $depends =~ libc6\ \(\>=\ [0-9] ]] || fail "Depends was not worked out by dpkg-shlibdeps: $depends"

desktop=$root/usr/share/applications/tavrin.desktop
desktop-file-validate "$desktop" || fail "the menu entry does not validate"
exec_program=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
[ -x "$root/usr/bin/$exec_program" ] || fail "the menu entry starts $exec_program, not in /usr/bin"
icon=$(sed -n 's/^Icon=//p' "$desktop")
[ -f "$root/usr/share/icons/hicolor/48x48/apps/$icon.png" ] || fail "the menu entry's icon $icon is not packed"

metainfo=$root/usr/share/metainfo/org.tavrin.Tavrin.metainfo.xml
appstreamcli validate --no-net "$metainfo" || fail "the AppStream metadata does not validate"
launchable=$(sed -n 's:.*<launchable type="desktop-id">\(.*\)</launchable>.*:\1:p' "$metainfo")
[ -f "$root/usr/share/applications/$launchable" ] || fail "the metadata launches $launchable, not packed"
# Each screenshot is a picture in this repository, named by a raw file address ending in its path.
shots=$(sed -n 's:.*<image>\(.*\)</image>.*:\1:p' "$metainfo")
[ -n "$shots" ] || fail "the metadata shows no screenshot"
for shot in $shots; do
  [[ $shot == https://*/doc/screenshots/*.png ]] || fail "screenshot address $shot"
  picture=$source/doc/screenshots/${shot##*/doc/screenshots/}
  [ "$(head -c 8 "$picture" 2>/dev/null | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] ||
    fail "screenshot $shot is no PNG picture of the repository ($picture)"
done

# The packed (stripped) programs still run.
[[ $("$root/usr/bin/tavrin" --version) == "tavrin "* ]] || fail "packed tavrin --version"
[[ $("$root/usr/bin/dbftool" --version) == "dbftool "* ]] || fail "packed dbftool --version"
help=$("$root/usr/bin/tavrin-send" --help) || fail "packed tavrin-send --help"
[[ $help == "Usage: tavrin-send "* ]] || fail "packed tavrin-send --help: $help"
# tavrin-send needs no display: without one it still starts, and says what is missing (status 2).
status=0
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/usr/bin/tavrin-send" \
  --settings "$scratch/none.ini" "$scratch/none.eml" 2>"$scratch/send.err" || status=$?
[ "$status" -eq 2 ] && grep -q "none.ini" "$scratch/send.err" ||
  fail "packed tavrin-send without a display ended with $status: $(cat "$scratch/send.err")"
# The manual page is whole and has the sections a reader looks for.
manual=$(gzip -dc "$root/usr/share/man/man1/tavrin-send.1.gz") || fail "the manual page is not gzip"
for section in NAME SYNOPSIS DESCRIPTION OPTIONS ENVIRONMENT FILES "EXIT STATUS" EXAMPLES; do
  grep -qx "\.SH \"\?$section\"\?" <<<"$manual" || fail "the manual page lacks $section"
done
echo "files in the package:"
(cd "$root" && find . -type f | sort | sed 's|^\./|  /|')
echo "package: ok ($(basename "$deb"); Depends: $depends)"
