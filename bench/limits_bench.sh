#!/usr/bin/env bash
# morcelix-cli at the limit of the machine, taking turns, medians and peak
# memory, on 1 GiB at 1 Mo and 100 Mo pieces and on 2 pieces of 500 MiB:
#   - the join against cat + sync + rm (durable; goal with 2 pieces of 500 MiB:
#     at most 0.6 x, the first piece becoming the file) and against cat + rm;
#   - regrouper --garder against cat (goal: at most 1.1 x), and against 7-Zip
#     (7zz x NAME.001) where it is installed;
#   - decouper --somme and the checked join, with and without --garder,
#     against one openssl dgst -sha256 pass over the same bytes (goal: at
#     most 1.3 x);
#   - a join of 100,000 small pieces (--parties 100000 of 100 MB) against
#     cat + rm (goal: at most 1.5 x, within 8 MiB).
# Every join is checked against the source.
source "$(dirname "$0")/common.sh"
prepare morcelix-cli $((1 << 30))
cli=$root/build/linux/cli/morcelix-cli
kept=$data/kept.bin
ourBase=$(baseline "$cli" --aide)
catBase=$(baseline cat /dev/null)
sslBase=$(baseline openssl dgst -sha256 /dev/null)

# Puts the source's pieces of `size` (decouper's TAILLE) in place, with a
# manifest when asked, the source aside.
make_set() {
    "$cli" decouper ${2:+--somme} "$source" "$1" >/dev/null
    mv "$source" "$kept"
}
rejoined() {
    cmp "$source" "$kept"
    rm -f "$source" "$source.sha256"
    remove_pieces
    mv "$kept" "$source"
}
measure_cat() {
    local set
    mapfile -t set < <(pieces)
    measure "$1" sh -c "out=\$1; shift; cat \"\$@\" >\"\$out\" $2" sh "$source" "${set[@]}"
}

for size in 1M 100M 512MiB; do
    for file in join durable plain kept cat 7z summed ssl checked checkedKept; do
        : >"$data/$file.txt"
    done
    for _ in $(seq "$rounds"); do
        make_set "$size"
        measure "$data/join.txt" "$cli" regrouper "$source.001"
        rejoined
        make_set "$size"
        measure_cat "$data/durable.txt" '&& sync && rm -- "$@"'
        rejoined
        make_set "$size"
        measure_cat "$data/plain.txt" '&& rm -- "$@"'
        rejoined
        make_set "$size"
        measure "$data/kept.txt" "$cli" regrouper --garder "$source.001"
        rm "$source"
        measure_cat "$data/cat.txt" ''
        if command -v 7zz >/dev/null; then
            rm "$source"
            (cd "$data" && measure "$data/7z.txt" 7zz x -y "$(basename "$source").001" >/dev/null)
        fi
        rejoined

        measure "$data/summed.txt" "$cli" decouper --somme "$source" "$size"
        measure "$data/ssl.txt" openssl dgst -sha256 "$source"
        mv "$source" "$kept"
        measure "$data/checkedKept.txt" "$cli" regrouper --garder "$source.001"
        rm "$source"
        measure "$data/checked.txt" "$cli" regrouper "$source.001"
        rejoined
    done
    report "join, $size" "$data/join.txt" "$data/durable.txt" "cat+sync+rm" "$ourBase" "$catBase"
    report "join, $size" "$data/join.txt" "$data/plain.txt" "cat+rm" "$ourBase" "$catBase"
    report "--garder, $size" "$data/kept.txt" "$data/cat.txt" "cat" "$ourBase" "$catBase"
    if command -v 7zz >/dev/null; then
        report "--garder, $size" "$data/kept.txt" "$data/7z.txt" "7zz x" "$ourBase" "$catBase"
    fi
    report "decouper --somme, $size" "$data/summed.txt" "$data/ssl.txt" "openssl" "$ourBase" "$sslBase"
    report "checked join, $size" "$data/checked.txt" "$data/ssl.txt" "openssl" "$ourBase" "$sslBase"
    report "checked --garder, $size" "$data/checkedKept.txt" "$data/ssl.txt" "openssl" "$ourBase" "$sslBase"
done

# 100,000 small pieces: 100 MB cut into --parties 100000.
head -c 100000000 "$source" >"$kept"
mv "$kept" "$source"
: >"$data/many.txt"
: >"$data/manyCat.txt"
for _ in $(seq "$rounds"); do
    "$cli" decouper --parties 100000 "$source" >/dev/null
    mv "$source" "$kept"
    measure "$data/many.txt" "$cli" regrouper "$source.001"
    rejoined
    "$cli" decouper --parties 100000 "$source" >/dev/null
    mv "$source" "$kept"
    # The pieces are too many for one command line: xargs hands them over in order.
    measure "$data/manyCat.txt" sh -c 'cd "$1" && ls | grep -E "^source\.bin\.[0-9]+$" | sort -V |
        xargs cat >source.bin && ls | grep -E "^source\.bin\.[0-9]+$" | xargs rm' sh "$data"
    rejoined
done
report "100,000 pieces" "$data/many.txt" "$data/manyCat.txt" "cat+rm" "$ourBase" "$catBase"
