#!/usr/bin/env bash
# morcelix-cli as whole processes, the way a user runs it, against the usual
# tools on the same 2 GiB file: decouper against GNU split, regrouper against
# cat followed by rm. Each pair takes turns, at 1 Mo and 100 Mo pieces; prints
# the ratio of the median times (ours / theirs) and the peak memory of each.
source "$(dirname "$0")/common.sh"
prepare morcelix-cli
cli=$root/build/linux/cli/morcelix-cli
kept=$data/kept.bin
ourBase=$(baseline "$cli" --aide)
splitBase=$(baseline split --version)
catBase=$(baseline cat /dev/null)
for mo in 1 100; do
    splitOurs=$data/split-ours.txt splitPeer=$data/split-peer.txt
    joinOurs=$data/join-ours.txt joinPeer=$data/join-peer.txt
    : >"$splitOurs"; : >"$splitPeer"; : >"$joinOurs"; : >"$joinPeer"
    for _ in $(seq "$rounds"); do
        measure "$splitOurs" "$cli" decouper "$source" "$mo"
        remove_pieces
        measure "$splitPeer" split -b "$((mo * 1000000))" -d -a 5 "$source" "$source."
        remove_pieces

        # Both joins start from a set written by the tool (GNU split can not
        # write names that grow from three digits to four) and rebuild the
        # source's name, checked against the original kept aside.
        "$cli" decouper "$source" "$mo"
        mv "$source" "$kept"
        measure "$joinOurs" "$cli" regrouper "$source.001"
        cmp "$source" "$kept"
        "$cli" decouper "$source" "$mo"
        mv "$source" "$kept"
        measure_cat_and_rm "$joinPeer"
        cmp "$source" "$kept"
    done
    report "decouper, $mo Mo pieces" "$splitOurs" "$splitPeer" "split -b" "$ourBase" "$splitBase"
    report "regrouper, $mo Mo pieces" "$joinOurs" "$joinPeer" "cat + rm" "$ourBase" "$catBase"
done
