#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# and runs the whole pytest suite under them, leak detection on.
#
#   tools/sanitize.sh [pytest arguments]      e.g. tools/sanitize.sh -x tests/test_threads.py
#
# The interpreter is not instrumented, so the ASan runtime is preloaded into
# it; PYTHONMALLOC=malloc routes Python objects through ASan's allocator too.
# tools/lsan.supp silences what the interpreter itself leaves allocated at
# exit. Leaked Python references show up in tests/test_leaks.py instead:
# LeakSanitizer cannot tell an object the module forgot from one the
# interpreter keeps. Uses g++ (its runtime ships with it) unless CXX is set.
# The full run takes a few minutes on two cores.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${LUMIRA_SANITIZE_BUILD:-$root/build-sanitize}
cxx=${CXX:-g++}
python=$(python3 -c 'import sys; print(sys.executable)')  # the interpreter itself, not a wrapper script
flags="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" \
    -DLUMIRA_WERROR=ON -DPython_EXECUTABLE="$python" >/dev/null
ninja -C "$build" >/dev/null

runtime=$("$cxx" -print-file-name=libclang_rt.asan-x86_64.so)
[[ -f $runtime ]] || runtime=$("$cxx" -print-file-name=libasan.so)
# The C++ runtime is preloaded too: ASan looks up __cxa_throw when it starts,
# before the interpreter would load the module (and libstdc++ with it).
runtime="$runtime $("$cxx" -print-file-name=libstdc++.so)"
# pytest captures the test's stderr, so the sanitizers' reports go to files,
# and those files, not exit statuses, are the verdict: a process the runtime
# ends exits 0, so that LeakSanitizer's tracer failing at a child process's exit
# (see below) does not fail a test that checks the child's status, while any
# real finding still leaves its report.
# Processes the tests start inherit the runtime (a test imports the module in
# a child interpreter); pytest-benchmark, where installed, would start git.
reports="$build/reports"
rm -rf "$reports" && mkdir -p "$reports"
cd "$root"
status=0
LD_PRELOAD="$runtime" PYTHONMALLOC=malloc PYTHONPATH="$build" \
    ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:detect_stack_use_after_return=1:log_path=$reports/asan" \
    LSAN_OPTIONS="suppressions=$root/tools/lsan.supp:print_suppressions=0:malloc_context_size=2:exitcode=0" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan" \
    "$python" -m pytest -p no:cacheprovider -p no:benchmark "$@" || status=$?
# LeakSanitizer's own tracer now and then crashes while it stops a process's
# threads at exit (a pool's threads dying at that moment): a failure of the
# tool, not a finding. Reports that hold nothing else are set aside.
for report in "$reports"/*; do
    [[ -f $report ]] || continue
    if ! grep -qv -e '^Tracer caught signal' -e 'LeakSanitizer has encountered a fatal error' -e '==HINT:' "$report"; then
        echo "tools/sanitize.sh: LeakSanitizer's tracer failed in process ${report##*.} (not a finding)" >&2
        rm "$report"
    fi
done
if compgen -G "$reports/*" >/dev/null; then
    cat "$reports"/* >&2
    echo "tools/sanitize.sh: the sanitizers reported the above" >&2
    exit 1
fi
exit $status
