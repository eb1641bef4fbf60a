#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each of them for SECONDS
# seconds, one after another (one fuzzer process at a time).
#
#   fuzz/run.sh SECONDS [TARGET...]      e.g. fuzz/run.sh 600 fuzz_whole_file
#
# Before fuzzing, every target replays the regression inputs in tests/corpus/.
# Findings land in build-fuzz/findings/; after fixing one, copy the input to
# tests/corpus/ (pytest replays that folder through the Python API). The
# growing corpora stay in build-fuzz/corpus/ between runs; logs in build-fuzz/logs/.
# Needs clang with its runtime libraries (Debian 12: clang-16 libclang-rt-16-dev);
# CXX picks the compiler, else the newest clang++ found.
set -euo pipefail

seconds=${1:?usage: fuzz/run.sh SECONDS [TARGET...]}
shift
root=$(cd "$(dirname "$0")/.." && pwd)
build=${LUMIRA_FUZZ_BUILD:-$root/build-fuzz}

find_clang() {
    if [[ -n ${CXX:-} ]]; then echo "$CXX"; return; fi
    command -v clang++ && return
    ls /usr/bin/clang++-[0-9]* 2>/dev/null | sort -V | tail -n 1
}
cxx=$(find_clang)
[[ -n $cxx ]] || { echo "fuzz/run.sh: no clang++ found (set CXX)" >&2; exit 2; }

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DLUMIRA_FUZZ=ON -DLUMIRA_BUILD_MODULE=OFF -DLUMIRA_WERROR=ON >/dev/null
ninja -C "$build" -j 1 >/dev/null
python3 "$root/fuzz/make_seeds.py" "$build/seeds"

if [[ $# -eq 0 ]]; then
    set -- $(cd "$root/fuzz" && ls fuzz_*.cpp | sed 's/\.cpp$//')
fi
mkdir -p "$build/findings" "$build/logs"
for target in "$@"; do
    binary="$build/fuzz/$target"
    seeds="$build/seeds/files"
    [[ -d $build/seeds/${target#fuzz_} ]] && seeds="$build/seeds/${target#fuzz_}"
    corpus="$build/corpus/$target"
    mkdir -p "$corpus"

    echo "== $target: regressions"
    "$binary" -runs=0 "$root/tests/corpus" 2>"$build/logs/$target.regressions.log" ||
        { cat "$build/logs/$target.regressions.log" >&2; exit 1; }

    echo "== $target: fuzzing for $seconds s"
    "$binary" "$corpus" "$seeds" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=16384 \
        -print_final_stats=1 -artifact_prefix="$build/findings/$target-" 2>"$build/logs/$target.log" ||
        { tail -n 40 "$build/logs/$target.log" >&2; echo "$target: finding in $build/findings/" >&2; exit 1; }
    grep -E "stat::number_of_executed_units|cov:" "$build/logs/$target.log" | tail -n 2
done
