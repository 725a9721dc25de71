#!/usr/bin/env bash
# Builds the Debian package with CPack and checks what a user gets from it: the files and their
# places, the package's dependencies, and the installed desktop entry, icons, AppStream metadata,
# manual pages and programs, all from a scratch root the package is unpacked into.
#
# Usage: check-deb-package.sh CONF
# CONF is written by packaging/CMakeLists.txt and sets BuildDir, WorkDir, Version, AppId, Prefix,
# ExpectedFiles, ExpectedDepends and Programs (space-separated lists).
set -euo pipefail

conf=${1:?usage: check-deb-package.sh CONF}
# shellcheck source=/dev/null
source "$conf"

failures=0
Fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
Need() {
    command -v "$1" >/dev/null || {
        echo "FAIL: $1 is missing (Debian package $2); scripts/install-deps.sh installs it" >&2
        exit 1
    }
}
Need cpack cmake
Need dpkg-deb dpkg
Need dpkg-shlibdeps dpkg-dev
Need desktop-file-validate desktop-file-utils
Need appstreamcli appstream
Need man man-db
Need file file

rm -rf "$WorkDir"
mkdir -p "$WorkDir"

echo "== building the package"
if ! cpack -G DEB --config "$BuildDir/CPackConfig.cmake" -B "$WorkDir" >"$WorkDir/cpack.log" 2>&1; then
    cat "$WorkDir/cpack.log" >&2
    echo "FAIL: cpack could not build the package" >&2
    exit 1
fi
shopt -s nullglob
debs=("$WorkDir"/velmorant_"$Version"_*.deb)
shopt -u nullglob
if [ ${#debs[@]} -ne 1 ]; then
    ls -l "$WorkDir" >&2
    echo "FAIL: expected one package velmorant_${Version}_<arch>.deb, found ${#debs[@]}" >&2
    exit 1
fi
deb=${debs[0]}
echo "package: $deb"

echo "== control fields"
dpkg-deb --info "$deb"
Field() { dpkg-deb --field "$deb" "$1"; }
[ "$(Field Package)" = velmorant ] || Fail "Package is '$(Field Package)', not velmorant"
[ "$(Field Version)" = "$Version" ] || Fail "Version is '$(Field Version)', not $Version"
for field in Maintainer Section Description Architecture; do
    [ -n "$(Field "$field")" ] || Fail "control field $field is empty"
done
long=$(Field Description | awk 'length($0) > 80' || true)
[ -z "$long" ] || Fail "Description lines wider than 80 columns: $long"
depends=$(Field Depends)
for package in $ExpectedDepends; do
    # A name in Depends stands between the start or ", " or "| " and a space, comma or the end.
    grep -qE "(^|[,|] *)${package}( |,|$)" <<<"$depends" ||
        Fail "Depends does not name $package: $depends"
done

echo "== contents"
dpkg-deb --contents "$deb" >"$WorkDir/contents.txt"
# Regular files and symbolic links only, as paths below the root ("usr/bin/velmorant").
awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' "$WorkDir/contents.txt" | sort >"$WorkDir/actual.txt"
prefix=${Prefix#/}
for path in $ExpectedFiles; do echo "$prefix/$path"; done | sort >"$WorkDir/expected.txt"
while read -r path; do
    Fail "missing from the package: $path"
done < <(comm -13 "$WorkDir/actual.txt" "$WorkDir/expected.txt")
while read -r path; do
    Fail "unexpected file in the package: $path (if it belongs, list it in packaging/CMakeLists.txt)"
done < <(comm -23 "$WorkDir/actual.txt" "$WorkDir/expected.txt")
odd=$(grep -vE '^([-d]rw[-x]r-[-x]r-[-x]|lrwxrwxrwx) root/root ' "$WorkDir/contents.txt" || true)
[ -z "$odd" ] || Fail "entries not owned by root/root with standard permissions:"$'\n'"$odd"

root=$WorkDir/root
dpkg-deb --extract "$deb" "$root"
usr=$root$Prefix

echo "== programs"
for program in $Programs; do
    binary=$usr/bin/$program
    if [ ! -x "$binary" ]; then
        Fail "$program is not an executable in bin/"
        continue
    fi
    missing=$(ldd "$binary" | grep 'not found' || true)
    [ -z "$missing" ] || Fail "$program needs libraries that are not installed: $missing"
done
if [ -x "$usr/bin/velmorant-cli" ]; then
    if out=$("$usr/bin/velmorant-cli" --version 2>&1); then
        echo "velmorant-cli --version: $out"
        grep -qE "(^|[^0-9.])${Version//./\\.}([^0-9.]|$)" <<<"$out" ||
            Fail "velmorant-cli --version printed '$out', not $Version"
    else
        Fail "velmorant-cli --version failed: $out"
    fi
    # The plot comes from the private module the package carries, found from the program's place.
    if [ -f "$usr/lib/velmorant/libvelmorant-cli-plot.so" ]; then
        if ! out=$("$usr/bin/velmorant-cli" generate "$WorkDir/plot.wav" --rpm 3000 --seconds 1 2>&1 &&
            "$usr/bin/velmorant-cli" analyse "$WorkDir/plot.wav" --plot "$WorkDir/plot.png" 2>&1); then
            Fail "velmorant-cli analyse --plot failed from the package: $out"
        elif ! file "$WorkDir/plot.png" | grep -q "PNG image"; then
            Fail "velmorant-cli analyse --plot wrote no PNG"
        else
            echo "velmorant-cli analyse --plot: $(file -b "$WorkDir/plot.png")"
        fi
    fi
fi

desktop=$usr/share/applications/$AppId.desktop
if [ -f "$desktop" ]; then
    echo "== desktop entry"
    out=$(desktop-file-validate "$desktop" 2>&1) || Fail "desktop-file-validate rejects $AppId.desktop"
    [ -z "$out" ] || Fail "desktop-file-validate reports: $out"
    Key() { sed -n "s/^$1=//p" "$desktop"; }
    exec=$(Key Exec)
    # The window program takes no arguments, so the entry passes it none.
    [ "$exec" = velmorant ] || Fail "Exec is '$exec', not velmorant alone"
    [ -x "$usr/bin/$exec" ] || Fail "Exec names $exec, which the package does not install in bin/"
    [ "$(Key Name)" = Velmorant ] || Fail "Name is '$(Key Name)', not Velmorant"
    [ "$(Key Terminal)" = false ] || Fail "Terminal is '$(Key Terminal)', not false"
    [ -n "$(Key Comment)" ] || Fail "the desktop entry has no Comment"
    [ "$(Key Icon)" = "$AppId" ] || Fail "Icon is '$(Key Icon)', not $AppId"

    echo "== icons"
    icons=$usr/share/icons/hicolor
    [ -s "$icons/scalable/apps/$AppId.svg" ] || Fail "no scalable icon $AppId.svg"
    pngs=0
    for png in "$icons"/*x*/apps/"$AppId".png; do
        [ -e "$png" ] || continue
        pngs=$((pngs + 1))
        size=$(basename "$(dirname "$(dirname "$png")")")
        # file(1) reports "PNG image data, 48 x 48, ..."; the folder says which size it must be.
        file -b "$png" | grep -q "^PNG image data, ${size%x*} x ${size#*x}," ||
            Fail "$size icon is not a ${size} PNG: $(file -b "$png")"
    done
    [ "$pngs" -gt 0 ] || Fail "no PNG icon sizes installed"

    echo "== AppStream metadata"
    metainfo=$usr/share/metainfo/$AppId.metainfo.xml
    appstreamcli validate --no-net --explain "$metainfo" ||
        Fail "appstreamcli validate rejects $AppId.metainfo.xml"
    # The tree check also ties the metadata to the desktop entry and the icon it names.
    appstreamcli validate-tree --no-net --explain "$usr" ||
        Fail "appstreamcli validate-tree rejects the installed tree"
    grep -q "<release version=\"$Version\"" "$metainfo" ||
        Fail "the AppStream metadata has no release $Version"
    grep -q "<launchable type=\"desktop-id\">$AppId.desktop</launchable>" "$metainfo" ||
        Fail "the AppStream metadata does not launch $AppId.desktop"
fi

echo "== manual pages"
for program in $Programs; do
    page=$usr/share/man/man1/$program.1.gz
    if [ ! -f "$page" ]; then
        Fail "no manual page for $program"
        continue
    fi
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || Fail "$program.1 has formatting problems: $warnings"
    text=$(LC_ALL=C.UTF-8 MANWIDTH=200 man -E UTF-8 -l "$page" 2>/dev/null)
    grep -qE "^NAME" <<<"$text" && grep -qE "^ +$program - " <<<"$text" ||
        Fail "$program.1 has no NAME line naming $program"
    grep -qF "$Version" <<<"$text" || Fail "$program.1 does not carry version $Version"
done

if [ "$failures" -gt 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "package checks passed"
