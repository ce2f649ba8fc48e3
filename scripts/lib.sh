# Shared by the project's scripts; sourcing it defines constants and functions
# and runs nothing. A script that builds for an interpreter calls
# use_target_python first: it finds the CPython the build is for (3.12 unless
# VELTRUM_PYTHON names another, 3.10 or newer) with its headers; ensure_venv then
# keeps a virtual environment for that interpreter (.venv for 3.12, .venv-X.Y for
# another). It also installs the Debian packages the builds need.

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
DEFAULT_PYTHON_VERSION=3.12
SUPPORTED_PYTHON_VERSIONS=(3.10 3.11 3.12 3.13 3.14 3.15)
# The versions with an aarch64 wheel: those Debian has an arm64 interpreter of,
# which scripts/interpreters provides (run under qemu-user).
AARCH64_PYTHON_VERSIONS=(3.11 3.13 3.14 3.15)
# Interpreters that scripts/interpreters unpacks from Debian's packages.
INTERPRETERS="${VELTRUM_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/veltrum}/interpreters"

say() { printf '==> %s\n' "$*" >&2; }
die() { printf 'error: %s\n' "$*" >&2; exit 1; }

# True when the interpreter is CPython of the given version (X.Y; any from
# 3.10 on when none is given) and its development headers exist.
is_cpython() {
    [ -x "$1" ] || command -v "$1" >/dev/null 2>&1 || return 1
    "$1" - "${2:-}" <<'PY' >/dev/null 2>&1
import os, platform, sys, sysconfig
assert platform.python_implementation() == "CPython"
want = sys.argv[1]
version = "%d.%d" % sys.version_info[:2]
assert sys.version_info[:2] >= (3, 10) and (version == want or not want)
assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
PY
}

# The machine name (platform.machine()) of a Debian architecture.
debian_machine() {
    case "$1" in
        amd64) echo x86_64 ;;
        arm64) echo aarch64 ;;
        *) die "unknown architecture $1" ;;
    esac
}

# Prints the path of an interpreter that scripts/interpreters provides, X.Y for a
# machine (x86_64 or aarch64), if it has been made.
provided_python() {
    local version="$1" machine="$2" py
    for py in "$INTERPRETERS"/*-"$(case "$machine" in x86_64) echo amd64 ;; aarch64) echo arm64 ;;
                                  esac)"/root/usr/bin/python"$version"; do
        [ -x "$py" ] && { printf '%s\n' "$py"; return 0; }
    done
    return 1
}

# Prints the path of a CPython X.Y with headers for this machine: pythonX.Y on
# PATH, then every pyenv installation of X.Y, then the one of scripts/interpreters.
find_python() {
    local version="$1" candidates=()
    command -v "python$version" >/dev/null 2>&1 && candidates+=("$(command -v "python$version")")
    local pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}"
    if command -v pyenv >/dev/null 2>&1; then
        pyenv_root="$(pyenv root)"
    fi
    local dir
    for dir in "$pyenv_root"/versions/"$version".*; do
        [ -x "$dir/bin/python$version" ] && candidates+=("$dir/bin/python$version")
    done
    local provided
    provided="$(provided_python "$version" "$(uname -m)")" && candidates+=("$provided")
    local py
    for py in "${candidates[@]}"; do
        # pyenv's shim answers even when that version is not the selected one
        if PYENV_VERSION="$(basename "$(dirname "$(dirname "$py")")")" is_cpython "$py" "$version" ||
           is_cpython "$py" "$version"; then
            printf '%s\n' "$py"
            return 0
        fi
    done
    return 1
}

# Prints the interpreter the build is for: VELTRUM_PYTHON (a path, a command or
# a version such as 3.11) if set, else CPython 3.12.
target_python() {
    local wanted="${VELTRUM_PYTHON:-$DEFAULT_PYTHON_VERSION}"
    if [[ "$wanted" =~ ^3\.[0-9]+$ ]]; then
        find_python "$wanted" || die "no CPython $wanted with development headers found \
(tried python$wanted on PATH, pyenv and scripts/interpreters); install one, run \
scripts/interpreters (3.14, 3.15) or set VELTRUM_PYTHON to its path"
    else
        is_cpython "$wanted" || die "VELTRUM_PYTHON=$wanted is not CPython 3.10 or newer \
with development headers"
        command -v "$wanted"
    fi
}

# The version (X.Y) of an interpreter.
python_version() { "$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])'; }

# Finds the interpreter the build is for and sets BASE_PY to it, PYTHON_VERSION
# to its version, VENV to its virtual environment's directory, PY to that
# environment's interpreter (there once ensure_venv has run) and BUILD_SUFFIX to
# what the names of its build directories end with ("" for 3.12, "-X.Y" else).
use_target_python() {
    BASE_PY="$(target_python)" || exit 1
    PYTHON_VERSION="$(python_version "$BASE_PY")"
    if [ "$PYTHON_VERSION" = "$DEFAULT_PYTHON_VERSION" ]; then
        VENV="$ROOT/.venv"
        BUILD_SUFFIX=""
    else
        VENV="$ROOT/.venv-$PYTHON_VERSION"
        BUILD_SUFFIX="-$PYTHON_VERSION"
    fi
    PY="$VENV/bin/python"
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

# Creates a fresh virtual environment of an interpreter, with pip unless the
# third argument is "without-pip". Debian's ensurepip takes pip from
# /usr/share/python-wheels, which for an interpreter of scripts/interpreters is
# this machine's older pip, so such an environment gets pip from the wheel its
# own Debian packages carry.
make_venv() {
    local base_py="$1" dir="$2" pip="${3:-with-pip}" wheel
    rm -rf "$dir"
    case "$base_py" in
        "$INTERPRETERS"/*)
            "$base_py" -m venv --without-pip "$dir"
            [ "$pip" = without-pip ] && return 0
            wheel="$(ls "${base_py%/usr/bin/*}"/usr/share/python-wheels/pip-*.whl)"
            "$dir/bin/python" "$wheel/pip" install -q --disable-pip-version-check --no-index "$wheel"
            ;;
        *)
            if [ "$pip" = without-pip ]; then
                "$base_py" -m venv --without-pip "$dir"
            else
                "$base_py" -m venv "$dir"
            fi
            ;;
    esac
}

# Creates the virtual environment from the target interpreter and installs the
# given requirement files, skipping pip when they have not changed since the
# last install.
ensure_venv() {
    [ -n "${VENV:-}" ] || die "ensure_venv needs use_target_python first"
    if ! is_cpython "$VENV/bin/python" "$PYTHON_VERSION"; then
        say "creating $VENV with $BASE_PY"
        make_venv "$BASE_PY" "$VENV"
    fi
    local stamp="$VENV/.requirements" wanted
    wanted="$(cat "$@" | sha256sum)"
    if [ ! -f "$stamp" ] || ! grep -qxF "$wanted" "$stamp"; then
        say "installing Python requirements"
        "$VENV/bin/python" -m pip install -q --disable-pip-version-check \
            $(printf -- '-r %s ' "$@")
        printf '%s\n' "$wanted" >>"$stamp"
    fi
}

# The project's version, the first `version = "..."` of pyproject.toml (its
# [project] table's; read without tomllib, which 3.10 lacks).
project_version() {
    sed -n 's/^version = "\([^"]*\)"$/\1/p' "$ROOT/pyproject.toml" | head -n 1
}

# Builds the extension and installs it into the virtual environment.
install_module() {
    say "building and installing veltrum"
    "$PY" -m pip install -q --disable-pip-version-check --no-build-isolation "$ROOT"
}
