#!/usr/bin/env bash
# Runs the whole suite against the wheels of wheelhouse/ (tools/wheels.sh makes
# them): for every CPython given, a fresh venv gets that version's wheel with
# its test extras, binaries only, and pytest runs from outside the source tree,
# so the tests import the installed package and nothing of python/.
#
#   tools/matrix.sh [PYTHON...]     without arguments: as tools/wheels.sh
#
# The venvs share pip's cache, so only the first version downloads what the
# versions have in common. Environment: LUMIRA_WHEELHOUSE (default
# wheelhouse/); PYTEST_ADDOPTS reaches every run.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
wheelhouse=${LUMIRA_WHEELHOUSE:-$root/wheelhouse}
# shellcheck source=tools/common.sh
source "$root/tools/common.sh"

mapfile -t pythons < <(find_pythons "$@")
[[ ${#pythons[@]} -gt 0 ]] || { echo "tools/matrix.sh: no CPython found" >&2; exit 1; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

failed=()
for python in "${pythons[@]}"; do
    tag=$(python_tag "$python")
    wheels=("$wheelhouse"/lumira-*-"$tag"-"$tag"-manylinux*.whl)
    if [[ ${#wheels[@]} -ne 1 || ! -f ${wheels[0]} ]]; then
        echo "tools/matrix.sh: want one $tag manylinux wheel in $wheelhouse (tools/wheels.sh makes it)" >&2
        exit 1
    fi
    started=$SECONDS
    venv=$scratch/$tag
    rm -rf "$venv"
    "$python" -m venv "$venv"
    # Byte-compiling all of every dependency costs more than the suite's imports compiling what they use.
    quietly "$venv/bin/python" -m pip install --no-compile --only-binary :all: "${wheels[0]}[test]"
    installed=$SECONDS
    # Run where nothing of the tree is importable, and prove the package came from the venv.
    mkdir -p "$scratch/run" && cd "$scratch/run"
    "$venv/bin/python" -c 'import sys, lumira, lumira_tools
for module in (lumira, lumira_tools):
    assert module.__file__.startswith(sys.prefix), module.__file__' ||
        { echo "tools/matrix.sh: $tag does not import the installed package" >&2; exit 1; }
    status=0
    "$venv/bin/python" -m pytest "$root/tests" -q -p no:cacheprovider || status=$?
    cd "$root"
    echo "tools/matrix.sh: $tag: install $((installed - started)) s, suite $((SECONDS - installed)) s, exit $status"
    [[ $status -eq 0 ]] || failed+=("$tag")
    rm -rf "$venv"
done

if [[ ${#failed[@]} -gt 0 ]]; then
    echo "tools/matrix.sh: the suite failed on ${failed[*]}" >&2
    exit 1
fi
echo "tools/matrix.sh: the suite passed on every version (${#pythons[@]}) in $SECONDS s"
