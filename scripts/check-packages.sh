#!/usr/bin/env bash
# Checks the packages that scripts/package.sh made in dist/ as a user meets
# them, and that a second build of the same sources in another folder gives
# the same bytes. The zip's programs are started in the 32-bit guest
# (scripts/vm32/), which keeps a screenshot of the window in
# build/package-window.png. Prints one "PASS: check" or "FAIL: check" line
# per check (a failure followed by what went wrong), or "SKIP: check (why)"
# where the guest can not run, and fails if any check failed.
#   scripts/check-packages.sh
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

version=$(sed -n 's/^project(morcelix VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
zip=$root/dist/morcelix-$version-win32.zip
deb=$root/dist/morcelix-cli_${version}_amd64.deb
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

check() {
    local name=$1
    shift
    if "$@" >"$work/log" 2>&1; then
        echo "PASS: $name"
    else
        echo "FAIL: $name"
        sed 's/^/    /' "$work/log"
        failures=$((failures + 1))
    fi
}

# Fails with a message unless $1 and $2 are equal.
same() {
    [[ $1 == "$2" ]] || { printf 'expected:\n%s\ngot:\n%s\n' "$2" "$1"; return 1; }
}

# The files listed, in this order, then SHA256SUMS, which checks them all; the
# text for Notepad: a UTF-8 mark and CRLF line ends.
zip_holds_the_files_and_their_sums() {
    local files
    files=$(printf '%s\n' LICENSE LISEZMOI.txt morcelix-cli.exe morcelix.exe)
    same "$(unzip -Z1 "$zip")" "$files"$'\nSHA256SUMS' &&
        unzip -q "$zip" -d "$work/zip" &&
        (cd "$work/zip" && sha256sum --check --strict SHA256SUMS) &&
        same "$(cut -d' ' -f3 "$work/zip/SHA256SUMS")" "$files" &&
        same "$(head -1 "$work/zip/LISEZMOI.txt")" $'\xef\xbb\xbfMorcelix '"$version"$'\r'
}

# Both 32-bit programs stripped; the window program keeps its resources, and
# the tool is a console program.
zip_programs_are_stripped_32_bit_programs() {
    local exe headers
    for exe in morcelix.exe morcelix-cli.exe; do
        headers=$(i686-w64-mingw32-objdump -f -p "$work/zip/$exe") || return 1
        [[ $headers != *HAS_SYMS* ]] || { echo "$exe has symbols"; return 1; }
    done
    [[ $headers =~ $'\n'Subsystem[[:space:]]+00000003 ]] || { echo "morcelix-cli.exe is no console program"; return 1; }
    scripts/check-win32.sh "$work/zip/morcelix.exe"
}

# In the 32-bit guest, from the unpacked zip: the tool's version, a split and
# a join by the tool, and the window shown, used for a split and a join, and
# closed, with its screenshot kept (scripts/vm32/package-check.sh).
zip_programs_run_in_a_32_bit_system() {
    local folder=$root/build/package-guest
    rm -rf "$folder" && mkdir -p "$folder" && cp "$work/zip/"*.exe "$folder/" || return 1
    scripts/vm32/run.sh -x -t 600 -s build/package-guest/state "$root" "bash $(printf '%q ' "$root/scripts/vm32/package-check.sh" \
        "$folder" "$version" "$root/build/package-window.png")"
}

deb_installs_and_its_program_runs() {
    same "$(dpkg-deb -f "$deb" Package Version Architecture)" \
        "$(printf 'Package: morcelix-cli\nVersion: %s\nArchitecture: amd64' "$version")" &&
        same "$(dpkg-deb -c "$deb" | awk '$6 !~ /\/$/ { print $6 }')" "$(printf '%s\n' \
            ./usr/bin/morcelix-cli \
            ./usr/share/bash-completion/completions/morcelix-cli \
            ./usr/share/doc/morcelix-cli/changelog.gz \
            ./usr/share/doc/morcelix-cli/copyright \
            ./usr/share/man/man1/morcelix-cli.1.gz)" &&
        dpkg-deb -x "$deb" "$work/root" || return 1
    local cli=$work/root/usr/bin/morcelix-cli
    same "$("$cli" --version | head -1)" "morcelix-cli $version" &&
        "$cli" --help >/dev/null &&
        head -c 2500000 /dev/urandom >"$work/film.avi" &&
        cp "$work/film.avi" "$work/kept" &&
        "$cli" decouper "$work/film.avi" 1 &&
        rm "$work/film.avi" &&
        "$cli" regrouper "$work/film.avi.001" &&
        cmp "$work/film.avi" "$work/kept"
}

# The page as man shows it, without a warning, covering every command and option.
man_page_renders() {
    local page=$work/root/usr/share/man/man1/morcelix-cli.1.gz text word
    LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null |
        tee "$work/warnings"
    [[ ! -s $work/warnings ]] || return 1
    text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page") || return 1
    for word in NOM SYNOPSIS "CODE DE RETOUR" REPRISE "SOMMES DE CONTRÔLE" "Morcelix $version" \
        "DÉCOUPAGE SUR PLACE" decouper regrouper verifier --dossier --parties --nom --somme \
        --sur-place --garder --stdout \
        --verbeux --silencieux --aide --version fat32 courriel discord github telegram Kio 130; do
        [[ $text == *"$word"* ]] || { echo "the page does not show $word"; return 1; }
    done
}

# Completes the words given (the last one being typed) as bash would, in a
# folder that holds a.001, a.002, a.txt and the folder d.
complete_words() {
    (cd "$work/completion" &&
        bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
                 _morcelix_cli; printf "%s\n" "${COMPREPLY[@]}" | sort' \
            bash "$work/root/usr/share/bash-completion/completions/morcelix-cli" morcelix-cli "$@")
}

completion_offers_commands_options_and_presets() {
    mkdir -p "$work/completion/d" &&
        touch "$work/completion/a.001" "$work/completion/a.002" "$work/completion/a.txt" &&
        same "$(complete_words '')" "$(printf '%s\n' decouper regrouper verifier)" &&
        same "$(complete_words re)" regrouper &&
        same "$(complete_words decouper '')" "$(printf '%s\n' a.001 a.002 a.txt d)" &&
        same "$(complete_words decouper film.avi '')" \
            "$(printf '%s\n' cd courriel discord dvd fat32 github telegram)" &&
        same "$(complete_words decouper - --nom x '')" \
            "$(printf '%s\n' cd courriel discord dvd fat32 github telegram)" &&
        same "$(complete_words decouper --parties 3 film.avi '')" \
            "$(printf '%s\n' a.001 a.002 a.txt d)" &&
        same "$(complete_words regrouper '')" "$(printf '%s\n' a.001 a.002 d)" &&
        same "$(complete_words verifier a.00)" "$(printf '%s\n' a.001 a.002)" &&
        same "$(complete_words regrouper -o '')" d &&
        same "$(complete_words regrouper --g)" --garder &&
        same "$(complete_words regrouper --s)" "$(printf '%s\n' --silencieux --stdout)" &&
        same "$(complete_words decouper --p)" --parties &&
        same "$(complete_words decouper --n)" "$(printf '%s\n' --nom --notice)" &&
        same "$(complete_words decouper --se)" --secours &&
        same "$(complete_words decouper --so)" "$(printf '%s\n' --somme --somme=crc)" &&
        same "$(complete_words decouper --somme =)" crc &&
        same "$(complete_words decouper --somme = c)" crc &&
        same "$(complete_words decouper --somme = crc film.avi '')" \
            "$(printf '%s\n' cd courriel discord dvd fat32 github telegram)" &&
        same "$(complete_words decouper --su)" --sur-place &&
        same "$(complete_words verifier --v)" "$(printf '%s\n' --verbeux --version)"
}

lintian_reports_no_error() {
    lintian "$deb" | grep -v '^running with root privileges' | tee "$work/lintian"
    ! grep -q '^E:' "$work/lintian"
}

# The same sources (as they stand, changes included) copied to another folder
# and packaged there from scratch, with the same commit time.
packages_are_reproducible() {
    local copy=$root/build/reproduce/morcelix
    rm -rf "$root/build/reproduce"
    mkdir -p "$copy"
    git ls-files -z --cached --others --exclude-standard |
        tar --null -T - --ignore-failed-read -cf - | tar -xf - -C "$copy" &&
        SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)} \
            "$copy/scripts/package.sh" >"$work/reproduce.log" 2>&1 ||
        { tail -20 "$work/reproduce.log"; return 1; }
    local file
    for file in "$zip" "$deb"; do
        cmp "$file" "$copy/dist/$(basename "$file")" || return 1
    done
    rm -rf "$root/build/reproduce"
}

check "the zip holds exactly its files, and SHA256SUMS checks" zip_holds_the_files_and_their_sums
check "the zip's programs are stripped 32-bit programs" zip_programs_are_stripped_32_bit_programs
# A guest that can not run (no image, no boot) skips this check, saying why.
guest_check="the zip's programs run in a 32-bit system: the tool, and the window shown and closed"
if ! (. scripts/vm32/common.sh && vm32_image_ready); then
    echo "SKIP: $guest_check (no guest image: scripts/vm32/build-image.sh makes it)"
else
    zip_programs_run_in_a_32_bit_system >"$work/guest.log" 2>&1
    case $? in
        0) echo "PASS: $guest_check" ;;
        125) echo "SKIP: $guest_check (the guest did not run it)" && tail -5 "$work/guest.log" | sed 's/^/    /' ;;
        *) echo "FAIL: $guest_check" && sed 's/^/    /' "$work/guest.log" && failures=$((failures + 1)) ;;
    esac
fi
check "the deb installs with dpkg -x and its program runs" deb_installs_and_its_program_runs
check "the man page renders without warnings (man -l)" man_page_renders
check "the bash completion offers commands, options, presets and pieces" completion_offers_commands_options_and_presets
check "lintian reports no error on the deb" lintian_reports_no_error
check "a second build in another folder gives the same zip and deb" packages_are_reproducible
((failures == 0))
