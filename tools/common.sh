# Sourced by tools/wheels.sh and tools/matrix.sh (which set $root): the
# CPythons they work through, and quiet steps.

# Runs a command with its output held back, shown only when it fails.
quietly() {
    local log status=0
    log=$(mktemp)
    "$@" >"$log" 2>&1 || status=$?
    [[ $status -eq 0 ]] || cat "$log" >&2
    rm -f "$log"
    return $status
}

# The oldest CPython the package admits, as requires-python in pyproject.toml names it.
python_floor() {
    sed -n 's/^requires-python = ">=\([0-9.]*\)".*/\1/p' "$root/pyproject.toml"
}

# "cp312" for CPython 3.12: the python and ABI tag of its wheels.
python_tag() {
    "$1" -c 'import sys; print("cp%d%d" % sys.version_info[:2])'
}

# One interpreter per line: the arguments as given, or else the newest pyenv
# release of every CPython minor version from the floor on, oldest first.
# Free-threaded builds are left out: their wheels take another ABI tag.
find_pythons() {
    if [[ $# -gt 0 ]]; then
        printf '%s\n' "$@"
        return
    fi
    local pyenv_root python floor
    pyenv_root=$(pyenv root) || { echo "no pyenv here: name the interpreters as arguments" >&2; return 1; }
    floor=$(python_floor)
    for python in "$pyenv_root"/versions/*/bin/python; do
        "$python" - "$floor" <<'EOF' 2>/dev/null || true
import sys, sysconfig
floor = tuple(int(part) for part in sys.argv[1].split("."))
if (sys.implementation.name == "cpython" and sys.version_info[:2] >= floor and sys.version_info.releaselevel == "final"
        and not sysconfig.get_config_var("Py_GIL_DISABLED")):
    print("%d.%d %d %s" % (*sys.version_info[:3], sys.executable))
EOF
    done | sort -k1,1V -k2,2n | awk '{path = $0; sub(/^[^ ]+ [^ ]+ /, "", path); newest[$1] = path}
                                     END {for (minor in newest) print minor, newest[minor]}' |
        sort -k1,1V | cut -d' ' -f2-
}
