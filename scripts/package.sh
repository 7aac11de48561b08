#!/usr/bin/env bash
# Makes the release packages in dist/, from the win32 and linux builds:
#   morcelix-VERSION-win32.zip    the 32-bit programs, LISEZMOI.txt, LICENSE
#                                 and SHA256SUMS
#   morcelix-cli_VERSION_amd64.deb   the native tool for Debian, its manual page
#                                    and its bash completion
# The programs in them are stripped. The same commit gives the same bytes in
# any folder: every time stamp is the commit's (SOURCE_DATE_EPOCH, unless set).
#   scripts/package.sh [--win64]
# --win64 also makes morcelix-VERSION-win64.zip from the x86-64 build, which
# 64-bit Wine can run: to try the packaged programs here, not to ship.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

arches=(win32)
[[ ${1:-} == --win64 ]] && arches+=(win64)

maintainer="the Morcelix authors <morcelix@example.org>"
version=$(sed -n 's/^project(morcelix VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
copyright=$(grep -m1 '^Copyright ' LICENSE)
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
export TZ=UTC LC_ALL=C.UTF-8
umask 022

scripts/install-deps.sh

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
dist=$root/dist
mkdir -p "$dist"

# The programs of a preset, built and installed stripped under $stage/$1.
install_preset() {
    cmake --preset "$1" >/dev/null
    cmake --build --preset "$1" --target "${@:2}"
    cmake --install "build/$1" --prefix "$stage/$1" --strip >/dev/null
}

# Gives every file and folder under $1 the commit's time and plain permissions
# (programs executable), whatever the umask and the build's times were.
normalise() {
    find "$1" -type d -exec chmod 755 {} +
    find "$1" -type f -exec chmod 644 {} +
    find "$1" -type f \( -name '*.exe' -o -path '*/bin/*' \) -exec chmod 755 {} +
    find "$1" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
}

# Standard input with the version and the copyright line in place of
# @VERSION@ and @COPYRIGHT@.
fill_in() {
    sed "s/@VERSION@/$version/; s/@COPYRIGHT@/$copyright/"
}

# Standard input as a text file for Windows: CRLF line ends.
windows_text() {
    sed 's/$/\r/'
}

for arch in "${arches[@]}"; do
    install_preset "$arch" morcelix morcelix-cli
    folder=$stage/zip-$arch
    mkdir -p "$folder"
    cp "$stage/$arch/bin/morcelix.exe" "$stage/$arch/bin/morcelix-cli.exe" "$folder/"
    windows_text <LICENSE >"$folder/LICENSE"
    # A UTF-8 mark first, so that every Notepad shows the accents.
    { printf '\xef\xbb\xbf' && fill_in <doc/LISEZMOI.txt | windows_text; } >"$folder/LISEZMOI.txt"
    files=(LICENSE LISEZMOI.txt morcelix-cli.exe morcelix.exe)
    (cd "$folder" && sha256sum "${files[@]}" >SHA256SUMS)
    normalise "$folder"
    zip=$dist/morcelix-$version-$arch.zip
    rm -f "$zip"
    # -X: no extra attributes (owners, extended times); members in this order.
    (cd "$folder" && zip -q -X "$zip" "${files[@]}" SHA256SUMS)
    echo "package: $zip"
done

install_preset linux morcelix-cli
# The package's tree where Debian's tools look for it: debian/PACKAGE.
deb=$stage/source/debian/morcelix-cli
mkdir -p "$deb/DEBIAN" "$deb/usr/share/doc/morcelix-cli"
cp -r "$stage/linux/." "$deb/usr/"
{
    printf 'morcelix-cli, the command-line tool of Morcelix.\n\n'
    cat LICENSE
} >"$deb/usr/share/doc/morcelix-cli/copyright"
# The manual page, also left in build/doc for man ./build/doc/morcelix-cli.1;
# without hyphenation, whose English rules would cut French words.
mkdir -p build/doc "$deb/usr/share/man/man1"
fill_in <doc/morcelix-cli.1.scd | scdoc |
    sed '/^\.TH /a .nh' >build/doc/morcelix-cli.1
gzip -9n <build/doc/morcelix-cli.1 >"$deb/usr/share/man/man1/morcelix-cli.1.gz"
cat <<EOF | gzip -9n >"$deb/usr/share/doc/morcelix-cli/changelog.gz"
morcelix-cli ($version) unstable; urgency=medium

  * Release $version.

 -- $maintainer  $(date -R -d "@$SOURCE_DATE_EPOCH")
EOF

# The libraries the tool needs, as Debian's own packages would state them.
printf 'Source: morcelix\n\nPackage: morcelix-cli\nArchitecture: amd64\n' >"$stage/source/debian/control"
depends=$(cd "$stage/source" && dpkg-shlibdeps -O "$deb/usr/bin/morcelix-cli")
depends=${depends#shlibs:Depends=}
cat >"$deb/DEBIAN/control" <<EOF
Package: morcelix-cli
Version: $version
Architecture: amd64
Maintainer: $maintainer
Installed-Size: $(du -sk --exclude=DEBIAN "$deb" | cut -f1)
Depends: $depends
Section: utils
Priority: optional
Description: splits a file into numbered pieces and joins them back
 morcelix-cli cuts a file into pieces of a chosen size (film.avi.001,
 film.avi.002, ...) and joins such a set back into the original file, byte
 for byte, deleting each piece once it is appended. It is the command-line
 companion of the Morcelix program for Windows; its messages are in French.
EOF
(cd "$deb" && find usr -type f | sort | xargs md5sum >DEBIAN/md5sums)
normalise "$deb"
debfile=$dist/morcelix-cli_${version}_amd64.deb
dpkg-deb --root-owner-group --build "$deb" "$debfile" >/dev/null
echo "package: $debfile"
