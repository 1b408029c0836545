#!/bin/sh
# Runs every fuzz target (or the ones named) for SECONDS each with libFuzzer,
# JOBS at a time, starting from the committed corpus, and prints a table of
# executions, findings and new corpus entries.
#
#   scripts/fuzz.sh SECONDS [-j JOBS] [TARGET...]
#
# Builds the `fuzz` preset first. The corpus grows in build/fuzz/work/TARGET
# (the committed one is not changed; `--merge` folds new entries back into
# fuzz/corpus/TARGET when done). Crashes, mismatches, leaks and
# out-of-memory inputs land in build/fuzz/findings/TARGET. Allocations are
# limited to 64 MiB each (-malloc_limit_mb=64): no input may make the
# library allocate from an untrusted size.
set -eu
cd "$(dirname "$0")/.."

usage() { echo "usage: $0 SECONDS [-j JOBS] [--merge] [TARGET...]" >&2; exit 2; }
[ $# -ge 1 ] || usage
seconds=$1
shift
jobs=1
merge=no
while [ $# -gt 0 ]; do
    case $1 in
        -j) jobs=$2; shift 2 ;;
        --merge) merge=yes; shift ;;
        -*) usage ;;
        *) break ;;
    esac
done
targets=${*:-"decrypt_byte round_trip hex_to_str hex_round_trip sha256 file_stream"}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz >/dev/null

out=build/fuzz
mkdir -p "$out/logs"

run_target() {
    t=$1
    work="$out/work/$t"
    findings="$out/findings/$t"
    mkdir -p "$work" "$findings"
    max_len=$(sed -n 's/^#define CLSCRYPT_FUZZ_MAX_INPUT \([0-9]*\).*/\1/p' "fuzz/$t.cpp")
    # -fork-free single process; stop at the first finding.
    "$out/fuzz/fuzz_$t" "$work" "fuzz/corpus/$t" \
        -max_total_time="$seconds" -malloc_limit_mb=64 -rss_limit_mb=2048 -timeout=20 \
        -max_len="${max_len:-4096}" -print_final_stats=1 -artifact_prefix="$findings/" \
        >"$out/logs/$t.log" 2>&1 || true
}

running=0
for t in $targets; do
    [ -f "fuzz/$t.cpp" ] || { echo "no fuzz target $t" >&2; exit 2; }
    run_target "$t" &
    running=$((running + 1))
    if [ "$running" -ge "$jobs" ]; then
        wait
        running=0
    fi
done
wait

status=0
printf '%-16s %14s %10s %8s %9s\n' target executions exec/s seconds findings
for t in $targets; do
    log="$out/logs/$t.log"
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
    found=$(find "$out/findings/$t" -type f | wc -l)
    if [ -z "$runs" ] || [ "$found" -ne 0 ] || grep -q -E '^==[0-9]+==ERROR|fuzz finding|out-of-memory' "$log"; then
        status=1
    fi
    printf '%-16s %14s %10s %8s %9s\n' "$t" "${runs:-?}" "${rate:-?}" "$seconds" "$found"
    if [ "$merge" = yes ]; then
        "$out/fuzz/fuzz_$t" -merge=1 "fuzz/corpus/$t" "$out/work/$t" >/dev/null 2>&1
    fi
done
[ "$status" -eq 0 ] || echo "findings: see $out/logs and $out/findings" >&2
exit "$status"
