#!/usr/bin/env bash
# Builds the extension with clang and libFuzzer's coverage hooks (so atheris
# sees the native branches) and runs the Python API fuzzer for SECONDS seconds.
# The hooks are resolved against clang's libFuzzer, preloaded.
#
#   fuzz/run_python_api.sh SECONDS          (LUMIRA_FUZZ_BASES=3d: mutate 3D files only)
#
# Needs clang and atheris (pip install atheris). Findings land in
# build-atheris/findings/; the corpus grows in build-atheris/corpus/.
set -euo pipefail

seconds=${1:?usage: fuzz/run_python_api.sh SECONDS}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${LUMIRA_ATHERIS_BUILD:-$root/build-atheris}
cxx=${CXX:-$(command -v clang++ || ls /usr/bin/clang++-[0-9]* 2>/dev/null | sort -V | tail -n 1)}
[[ -n $cxx ]] || { echo "fuzz/run_python_api.sh: no clang++ found (set CXX)" >&2; exit 2; }

python=$(python3 -c 'import sys; print(sys.executable)')  # the interpreter itself, not a wrapper script

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS="-fsanitize-coverage=inline-8bit-counters,pc-table,trace-cmp" \
    -DPython_EXECUTABLE="$python" >/dev/null
ninja -C "$build" -j 1 >/dev/null
mkdir -p "$build/corpus" "$build/findings"
# clang's libFuzzer as a shared library: atheris drives it when it is preloaded.
libfuzzer="$build/libfuzzer.so"
"$cxx" -shared -o "$libfuzzer" -Wl,--whole-archive \
    "$("$cxx" -print-file-name=libclang_rt.fuzzer_no_main-x86_64.a)" -Wl,--no-whole-archive
LD_PRELOAD="$libfuzzer" PYTHONPATH="$build" "$python" "$root/fuzz/python_api.py" "$build/corpus" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=3072 -max_len=16384 -print_final_stats=1 -artifact_prefix="$build/findings/"
