#!/usr/bin/env bash
# Runs the win32 preset's tests where the shipped 32-bit programs run: in the
# 32-bit Debian guest (scripts/vm32/), under 32-bit Wine, in one boot (two
# if the guest stops before the end). The
# core's, the tool's and the window's test programs as the win32 preset built
# them (the tool's tests run its morcelix-cli.exe), then the large-file check
# (a sparse 5 GiB file split at 1000 Mo and joined back by morcelix-cli.exe)
# and the window check (morcelix.exe driven through the X server: a split, a
# join, a screenshot kept in build/win32/vm32-tests/window.png).
#   scripts/win32-guest-tests.sh [--skip WHY]
# Needs the win32 build and an image (scripts/vm32/build-image.sh). Prints one
# line per program and check, then "guest: N passed, N failed, N skipped";
# when the guest can not run them (or with --skip), says why and counts every
# test chosen as skipped, their number as the win64 build lists them. Fails
# when a test failed.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/win32
results=$build/vm32-tests
rm -rf "$results"
mkdir -p "$results"

# The test programs (under build/win32), the time each may take in the guest
# (s), and the tests that run there (a GoogleTest filter). The guest runs
# under emulation, 4 to 10 times slower than Wine here, and each process
# started there costs 2 s: the tests left to the 64-bit build, which runs them
# all, are those whose hundreds of files, processes or stops cost minutes
# there and check nothing that a 32-bit program does otherwise (1000 pieces
# and more, two joins at once, the split in place stopped or killed at every
# moment, a join killed at random moments, the window's stops during long
# joins and splits, the layout at three more display settings). The stop of
# the window's split is meant to come at 2 % of a 1 GB file: on a busy
# machine, under emulation, it came too late once and the whole file was
# split past the time limit. Of the tool's tests run
# as processes, those of what meets the system: pipes and standard streams,
# Ctrl+Break, long paths, checksums and damaged pieces, a split in place,
# the in-process ones all.
programs=(
    "tests/pieces_tests 300 -JoinTest.SplitThenJoinGivesTheSourceBackAndRemovesThePieces:SplitTest.MoreThan999PiecesGoOnTo1000:SplitInPlaceTest.*:JoinTest.TwoJoinsOfTheSameSetAtOnceLoseNothing"
    "tests/full_disk_tests 120 *"
    "tests/actions_tests 120 *"
    "tests/cli/cli_tests 600 ProgressLineTest.*:FormatBytesTest.*:RunCliTest.*:PieceSizeFromArgumentTest.*:ParseArgumentsTest.*:CliTest.StandardInputIsSplitAndTheSetJoinedToStandardOutputThroughPipes:CliTest.PiecesGoThroughThePipesAndRedirectionsOfCmd:CliTest.ADamagedPieceStopsTheJoinToStandardOutput:CliTest.AChecksummedSetIsVerifiedPieceByPieceAndByTheSystemsTools:CliTest.APieceOfTheWrongSizeIsReportedAndRefused:CliTest.PathsLongerThanMaxPathAreSplitAndJoined:CliTest.KeepingThePiecesLeavesTheSetWhereverTheOptionStands:CliTest.ASetWrittenByTheSplitRoutineInProcessIsJoinedByTheTool:ChecksumFilesCliTest.ASplitWithItsCrcFileIsCheckedByIt:CliInPlaceTest.AnInterruptionSaysHowToFinishAndRunningAgainFinishes:CliInPlaceTest.TheFileBecomesAnOrdinarySplitsSetWhichJoinsBack"
    "tests/cli/cli_full_disk_tests 300 -CliInPlaceFullDiskTest.ADiskThatFillsPartWayStopsItAndRunningAgainFinishesIt"
    "tests/app/app_tests 600 -OtherDisplaySettingsTest.*:StopAndDropGuiTest.EchapDuringAJoinThenOuiKeepsTheSourceInItsFilesAndRegrouperFinishes:StopAndDropGuiTest.ClosingDuringAJoinStopsItAndThePiecesLeftAreFoundAgainToFinishIt:StopAndDropGuiTest.EchapDuringASplitThenOuiRemovesItsPieces"
)
# The checks run there as scripts, and their time limits (s).
checks=(large-file window)
check_limits=(900 300)

# The number of tests each program would run, as the 64-bit build of the same
# sources lists them: what counts as skipped when the guest can not run.
count_chosen() {
    local entry path limit filter total=0 n
    for entry in "${programs[@]}"; do
        read -r path limit filter <<<"$entry"
        n=$(WINEPREFIX=$root/build/wine-prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
            timeout 60 /usr/lib/wine/wine64 "$root/build/win64/$path.exe" --gtest_list_tests \
            "--gtest_filter=$filter" 2>/dev/null | tr -d '\r' | grep -c '^  ') || n=1
        total=$((total + (n > 0 ? n : 1)))
    done
    echo $((total + ${#checks[@]}))
}

# With MORCELIX_GUEST_COUNT=later (scripts/test.sh, whose win64 build may not
# be there yet), the count is left to a later --skip.
guest_unavailable() {
    echo "guest: $1: the win32 tests in the 32-bit guest are skipped"
    [[ ${MORCELIX_GUEST_COUNT:-} == later ]] ||
        echo "guest: 0 passed, 0 failed, $(count_chosen) skipped"
    exit 0
}

[[ ${1:-} == --skip ]] && guest_unavailable "${2:-asked to}"
[[ -x $root/scripts/vm32/run.sh ]] || guest_unavailable "no scripts/vm32"
. "$root/scripts/vm32/common.sh"
vm32_image_ready || guest_unavailable "no image in $VM32_DIR (scripts/vm32/build-image.sh makes it)"

# The job, run in the guest with the build tree at its own path: the paths
# compiled into the tests (morcelix-cli.exe's) hold there too.
{
    echo 'results=$1'
    echo '# The small file system that fills up, for the full-disk tests.'
    echo 'mkdir -p /tmp/small-disk && mount -t tmpfs -o size=4m tmpfs /tmp/small-disk &&'
    echo '    export MORCELIX_SMALL_DISK=/tmp/small-disk'
    echo 'winpath() { printf "Z:%s" "${1//\//\\}"; }'
    echo 'since() { awk -v a="$1" -v b="$(cut -d" " -f1 /proc/uptime)" "BEGIN { printf \"%.0f\", b - a }"; }'
    echo '# Each step leaves NAME.rc ("status seconds"); a second boot, after the'
    echo '# guest stopped, runs only the steps that left none.'
    echo 'step() {'
    echo '    local name=$1 limit=$2 start'
    echo '    shift 2'
    echo '    [[ -f $results/$name.rc ]] && return'
    echo '    start=$(cut -d" " -f1 /proc/uptime)'
    echo '    timeout -k 10 "$limit" "$@" >"$results/$name.log" 2>&1'
    echo '    echo "$? $(since "$start")" >"$results/$name.rc"'
    echo '}'
    for entry in "${programs[@]}"; do
        read -r path limit filter <<<"$entry"
        name=$(basename "$path")
        printf 'step %q %q wine %q %q "--gtest_output=xml:$(winpath %q)"\n' "$name" "$limit" \
            "$build/$path.exe" "--gtest_filter=$filter" "$results/$name.xml"
    done
    printf 'step large-file %q bash %q %q\n' "${check_limits[0]}" \
        "$root/scripts/vm32/large-file-check.sh" "$build/cli/morcelix-cli.exe"
    printf 'step window %q bash %q %q %q\n' "${check_limits[1]}" \
        "$root/scripts/vm32/window-check.sh" "$build/app/morcelix.exe" "$results/window.png"
} >"$results/job.sh"

# The whole job's time: the steps' limits.
limit=0
for entry in "${programs[@]}"; do
    read -r path program_limit filter <<<"$entry"
    limit=$((limit + program_limit + 10))
done
limit=$((limit + check_limits[0] + check_limits[1] + 20))

# The scripts and the sources are read in the guest at their own paths too:
# the share is the clone, the build tree inside it. A guest that stops before
# the end (its kernel under emulation has been seen to oops) is booted once
# more for the steps left.
steps_left() {
    local entry path limit filter name
    for entry in "${programs[@]}"; do
        read -r path limit filter <<<"$entry"
        [[ -f $results/$(basename "$path").rc ]] || return 0
    done
    for name in "${checks[@]}"; do
        [[ -f $results/$name.rc ]] || return 0
    done
    return 1
}
for boot in 1 2; do
    start=$SECONDS
    scripts/vm32/run.sh -x -d 12G -s build/win32/vm32-tests/guest -t "$limit" "$root" \
        "bash $(printf '%q ' "$results/job.sh" "$results")" >"$results/guest-$boot.log" 2>&1
    rc=$?
    echo "guest: boot $boot: status $rc after $((SECONDS - start)) s (log: build/win32/vm32-tests/guest-$boot.log)"
    cp "$results/guest/console.log" "$results/console-$boot.log" 2>/dev/null
    ((rc == 125)) && steps_left || break
    grep -m1 -A3 'BUG\|Oops\|panic' "$results/console-$boot.log" | sed 's/^/    /'
    tail -5 "$results/guest-$boot.log" | sed 's/^/    /'
done
if ! compgen -G "$results/*.rc" >/dev/null; then
    guest_unavailable "the guest did not boot or did not finish (see build/win32/vm32-tests/console-*.log)"
fi

passed=0 failed=0 skipped=0
# The results of one program's XML report: "passed failed skipped", then the
# failed tests' names, one a line.
read_report() {
    awk '
        /<testcase / {
            n++
            match($0, / name="[^"]*"/); test = substr($0, RSTART + 7, RLENGTH - 8)
            match($0, / classname="[^"]*"/); name[n] = substr($0, RSTART + 12, RLENGTH - 13) "." test
            if ($0 ~ /result="skipped"/) skip[n] = 1
        }
        /<failure/ { fail[n] = 1 }
        END {
            for (i = 1; i <= n; i++) { if (fail[i]) f++; else if (skip[i]) s++; else p++ }
            print p + 0, f + 0, s + 0
            for (i = 1; i <= n; i++) if (fail[i]) print name[i]
        }' "$1"
}
for entry in "${programs[@]}"; do
    read -r path limit filter <<<"$entry"
    name=$(basename "$path")
    read -r status seconds <"$results/$name.rc" 2>/dev/null || status=none seconds=?
    if [[ -f $results/$name.xml ]]; then
        report=$(read_report "$results/$name.xml")
        read -r p f s <<<"$(head -1 <<<"$report")"
        passed=$((passed + p)) failed=$((failed + f)) skipped=$((skipped + s))
        echo "guest: $name: $p passed, $f failed, $s skipped in ${seconds}s"
        if ((f > 0 || status != 0)); then
            tail -n +2 <<<"$report" | sed 's/^/    failed: /'
            grep -B2 -A12 'Failure$\|^\[  FAILED  \]' "$results/$name.log" | head -80 | sed 's/^/    /'
        fi
        if ((f == 0 && status != 0)); then
            echo "    $name ended with status $status"
            failed=$((failed + 1))
        fi
    else
        # A crash or a hang (or a guest that stopped): no report; everything
        # it would have run counts as one failure.
        echo "guest: $name: FAILED, no report (status $status after ${seconds}s)"
        tail -30 "$results/$name.log" 2>/dev/null | sed 's/^/    /'
        failed=$((failed + 1))
    fi
done
for name in "${checks[@]}"; do
    if ! read -r status seconds <"$results/$name.rc" 2>/dev/null; then
        echo "guest: $name check FAILED: it never finished (the guest stopped)"
        failed=$((failed + 1))
    elif [[ $status == 0 ]]; then
        echo "guest: $name check passed in ${seconds}s"
        sed 's/^/    /' "$results/$name.log"
        passed=$((passed + 1))
    else
        echo "guest: $name check FAILED (status $status after ${seconds}s)"
        tail -30 "$results/$name.log" 2>/dev/null | sed 's/^/    /'
        failed=$((failed + 1))
    fi
done
echo "guest: $passed passed, $failed failed, $skipped skipped"
((failed == 0))
