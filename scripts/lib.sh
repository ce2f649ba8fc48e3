# Shared by the project's scripts: finds CPython 3.12 with its headers, installs
# the Debian packages the builds need and keeps a virtual environment in .venv.
# Sourced, not run.

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"

say() { printf '==> %s\n' "$*" >&2; }
die() { printf 'error: %s\n' "$*" >&2; exit 1; }

# True when the interpreter is CPython 3.12 and its development headers exist.
is_python312() {
    [ -x "$1" ] || command -v "$1" >/dev/null 2>&1 || return 1
    "$1" - <<'PY' >/dev/null 2>&1
import os, platform, sys, sysconfig
assert platform.python_implementation() == "CPython"
assert sys.version_info[:2] == (3, 12)
assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
PY
}

# Prints the path of a CPython 3.12 with headers: $VELTRUM_PYTHON if set, then
# python3.12 on PATH, then every pyenv installation of 3.12.
find_python312() {
    local candidates=()
    [ -n "${VELTRUM_PYTHON:-}" ] && candidates+=("$VELTRUM_PYTHON")
    command -v python3.12 >/dev/null 2>&1 && candidates+=("$(command -v python3.12)")
    local pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}"
    if command -v pyenv >/dev/null 2>&1; then
        pyenv_root="$(pyenv root)"
    fi
    local dir
    for dir in "$pyenv_root"/versions/3.12*; do
        [ -x "$dir/bin/python3.12" ] && candidates+=("$dir/bin/python3.12")
    done
    local py
    for py in "${candidates[@]}"; do
        # pyenv's shim answers even when 3.12 is not the selected version
        if PYENV_VERSION="$(basename "$(dirname "$(dirname "$py")")")" is_python312 "$py" ||
           is_python312 "$py"; then
            printf '%s\n' "$py"
            return 0
        fi
    done
    return 1
}

# Installs the named Debian packages that are missing.
ensure_debian_packages() {
    local missing=() pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    command -v apt-get >/dev/null 2>&1 || die "missing packages ${missing[*]} and no apt-get"
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        command -v sudo >/dev/null 2>&1 || die "missing packages ${missing[*]}; run as root"
        sudo=(sudo)
    fi
    say "installing ${missing[*]}"
    "${sudo[@]}" apt-get update -qq >/dev/null
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
}

# Creates .venv from CPython 3.12 and installs the given requirement files,
# skipping pip when they have not changed since the last install.
ensure_venv() {
    local py
    py="$(find_python312)" || die "no CPython 3.12 with development headers found \
(tried \$VELTRUM_PYTHON, python3.12 on PATH and pyenv); install one or set VELTRUM_PYTHON"
    if ! is_python312 "$VENV/bin/python"; then
        say "creating $VENV with $py"
        rm -rf "$VENV"
        "$py" -m venv "$VENV"
    fi
    local stamp="$VENV/.requirements" wanted
    wanted="$(cat "$@" | sha256sum)"
    if [ ! -f "$stamp" ] || ! grep -qxF "$wanted" "$stamp"; then
        say "installing Python requirements"
        "$VENV/bin/python" -m pip install -q --disable-pip-version-check \
            $(printf -- '-r %s ' "$@")
        printf '%s\n' "$wanted" >>"$stamp"
    fi
    PY="$VENV/bin/python"
}

# Builds the extension and installs it into .venv.
install_module() {
    say "building and installing veltrum"
    "$PY" -m pip install -q --disable-pip-version-check --no-build-isolation "$ROOT"
}
