#!/bin/sh
# Our speed now against our speed at another revision, row by row.
#
#   bench/compare.sh [REV] [clscrypt_bench flags...]
#
# Builds clscrypt_bench (release, library and benchmark only) from REV and
# from the working tree, each in a scratch folder, then runs the two builds
# one after the other for several rounds and prints one Markdown table: for
# each Google Benchmark row, our side's median rate in each build, their
# ratio (now over then: above 1 is faster now) and the range of the rounds'
# ratios, beside each build's ratio to the row's reference (OpenSSL). Load
# from other programs hits both builds alike, round by round; a range that
# straddles 1 is no change.
#
# REV defaults to main~1, the main before the latest landing. The flags go
# to both builds, so keep runs short with a filter:
#
#   bench/compare.sh 25b2844 --benchmark_filter='clsHsh-short'
#
# With FILES=1 it sets the file operations instead: clscrypt_file_bench
# (the working tree's source, which uses only the public interface, built
# against each revision's library), its arguments after REV, both builds in
# turn for ROUNDS rounds, and prints each round's file/memory ratios side
# by side:
#
#   FILES=1 bench/compare.sh d477c12 256 /dev/shm 2 [decrypt]
#
# Environment: ROUNDS (default 3) rounds of REPETITIONS (default 3)
# repetitions per build; COMPARE_DIR (default /tmp/clscrypt-compare-$USER)
# holds the scratch trees and builds, the other revision's kept by commit so
# a second comparison against it does not rebuild it.
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
rev=main~1
case "${1-}" in
'' | -*) ;;
*)
    rev=$1
    shift
    ;;
esac
rounds=${ROUNDS:-3}
reps=${REPETITIONS:-3}
scratch=${COMPARE_DIR:-/tmp/clscrypt-compare-${USER:-$(id -un)}}
python=/usr/bin/python3

commit=$(git -C "$here" rev-parse --verify "$rev^{commit}") || {
    echo "compare.sh: no revision $rev" >&2
    exit 2
}
short=$(git -C "$here" rev-parse --short "$commit")
mkdir -p "$scratch"

files=${FILES:-0}
target=clscrypt_bench
[ "$files" = 1 ] && target=clscrypt_file_bench

# configure_and_build SOURCE BUILD: the benchmark of SOURCE, optimised.
configure_and_build() {
    cmake -S "$1" -B "$2" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCLSCRYPT_WERROR=OFF \
        -DCLSCRYPT_BUILD_TESTS=OFF -DCLSCRYPT_BUILD_TOOLS=OFF -DCLSCRYPT_BUILD_EXAMPLES=OFF \
        -DCLSCRYPT_BUILD_FUZZ=OFF -DCLSCRYPT_BUILD_BENCH=ON -DCLSCRYPT_BUILD_BOTH_LIBRARIES=OFF \
        -DCLSCRYPT_INSTALL=OFF >"$2.log" 2>&1 &&
        cmake --build "$2" -j2 --target "$target" >>"$2.log" 2>&1 || {
        echo "compare.sh: building $1 failed; see $2.log" >&2
        exit 1
    }
}

then_src=$scratch/then-$commit/src
then_build=$scratch/then-$commit/build
if [ ! -d "$then_src" ]; then
    mkdir -p "$then_src"
    git -C "$here" archive "$commit" | tar -x -C "$then_src"
fi
if [ "$files" = 1 ]; then
    cp "$here/bench/file_bench.cpp" "$then_src/bench/file_bench.cpp"
fi
if [ "$files" = 1 ] || [ ! -x "$then_build/bench/$target" ]; then
    echo "Building $short in $scratch/then-$commit..." >&2
    configure_and_build "$then_src" "$then_build"
fi
echo "Building the working tree in $scratch/now..." >&2
configure_and_build "$here" "$scratch/now"

if [ "$files" = 1 ]; then
    echo "File operations, ours now against ours at $short: $rounds rounds, load average $(cut -d' ' -f1-3 /proc/loadavg)"
    echo "clscrypt_file_bench $* (one round each run); ratios are file over memory"
    round=1
    while [ "$round" -le "$rounds" ]; do
        for side in now then; do
            if [ "$side" = now ]; then bin=$scratch/now/bench/clscrypt_file_bench; else bin=$then_build/bench/clscrypt_file_bench; fi
            "$bin" "${1:-256}" "${2:-.}" "${3:-1}" 1 ${4:+"$4"} | awk -v side="$side" -v round="$round" '
                / [0-9.]+x / { printf "round %d  %-4s  %s\n", round, side, $0 }'
        done
        round=$((round + 1))
    done
    echo "Load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
    exit 0
fi

out=$scratch/runs
rm -rf "$out"
mkdir -p "$out"
round=1
while [ "$round" -le "$rounds" ]; do
    for side in now then; do
        if [ "$side" = now ]; then bin=$scratch/now/bench/clscrypt_bench; else bin=$then_build/bench/clscrypt_bench; fi
        echo "Round $round of $rounds: $side" >&2
        # The binary's own table goes nowhere: the runs are read from JSON.
        "$bin" --bench_system=0 --benchmark_repetitions="$reps" "$@" \
            --benchmark_out="$out/$side-$round.json" --benchmark_out_format=json \
            >/dev/null 2>"$out/$side-$round.log" || {
            cat "$out/$side-$round.log" >&2
            echo "compare.sh: the $side build's benchmark failed" >&2
            exit 1
        }
    done
    round=$((round + 1))
done

load=$(cut -d' ' -f1-3 /proc/loadavg)
"$python" - "$out" "$rounds" "$short" "$load" <<'EOF'
import json
import statistics
import sys

folder, rounds, then_name, load = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]


def runs(side, r):
    """{row: [(ours, reference), ...]} of one build's round."""
    with open(f"{folder}/{side}-{r}.json") as f:
        data = json.load(f)
    rows = {}
    for b in data["benchmarks"]:
        if b.get("run_type") != "iteration" or "ours" not in b:
            continue
        name = b.get("run_name", b["name"])
        if name.endswith("/manual_time"):
            name = name[: -len("/manual_time")]
        name = name.rsplit("/", 1)[0]  # the units
        rows.setdefault(name, []).append((b["ours"], b.get("theirs", 0.0)))
    return rows


def rate(x):
    for scale, suffix in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if x >= scale:
            return f"{x / scale:.2f} {suffix}/s"
    return f"{x:.1f} /s"


now = [runs("now", r) for r in range(1, rounds + 1)]
then = [runs("then", r) for r in range(1, rounds + 1)]
names = sorted(n for n in now[0] if all(n in t for t in then))
missing = sorted(set(now[0]) ^ set(then[0]))

print(f"Ours now against ours at {then_name}: {rounds} rounds, load average {load}")
print()
print("| Row | Ours now | Ours then | Now/then | Range | Ref. ratio now | Ref. ratio then |")
print("|---|---|---|---|---|---|---|")
for n in names:
    ours_now = [o for r in now for o, _ in r[n]]
    ours_then = [o for r in then for o, _ in r[n]]
    per_round = [statistics.median(o for o, _ in a[n]) / statistics.median(o for o, _ in b[n])
                 for a, b in zip(now, then)]
    ref_now = statistics.median(o / t for r in now for o, t in r[n] if t > 0)
    ref_then = statistics.median(o / t for r in then for o, t in r[n] if t > 0)
    print(f"| {n} | {rate(statistics.median(ours_now))} | {rate(statistics.median(ours_then))} "
          f"| {statistics.median(per_round):.2f}x | {min(per_round):.2f}-{max(per_round):.2f} "
          f"| {ref_now:.2f}x | {ref_then:.2f}x |")
if missing:
    print()
    print("Rows in one build only: " + ", ".join(missing))
EOF
