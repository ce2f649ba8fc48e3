# Shared by the project's scripts; sourcing it defines constants and functions
# and runs nothing. A script that builds for an interpreter calls
# use_target_python first: it finds the CPython the build is for (3.12 unless
# VELTRUM_PYTHON names another, 3.10 or newer) with its headers; ensure_venv then
# keeps a virtual environment for that interpreter (.venv for 3.12, .venv-X.Y for
# another). The helpers install the Debian packages the builds need, run pip and
# CMake the one way the project does, find the built wheels, and keep the stamps
# of the caches (virtual environments, the interpreters' sets).

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# The scripts run under set -euo pipefail; with this, so do the functions they
# call inside $(...), which then stop at their first failing step as well.
shopt -s inherit_errexit
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

# As find_python, but fails with a message when there is no such interpreter.
require_python() {
    find_python "$1" || die "no CPython $1 with development headers found \
(tried python$1 on PATH, pyenv and scripts/interpreters); install one, run \
scripts/interpreters (3.14, 3.15) or set VELTRUM_PYTHON to its path"
}

# Prints the interpreter the build is for: VELTRUM_PYTHON (a path, a command or
# a version such as 3.11) if set, else CPython 3.12.
target_python() {
    local wanted="${VELTRUM_PYTHON:-$DEFAULT_PYTHON_VERSION}"
    if [[ "$wanted" =~ ^3\.[0-9]+$ ]]; then
        require_python "$wanted"
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

# Stamps. A kept cache (a virtual environment, a set of interpreters) holds a
# file "stamp" with a line for each thing put into it, saying what it was made
# from; a step is done again only when its line is missing. Making the cache
# afresh removes the file with the rest.
has_stamp() { [ -f "$1/stamp" ] && grep -qxF -- "$2" "$1/stamp"; }
add_stamp() { printf '%s\n' "$2" >>"$1/stamp"; }

# pip of an interpreter, quiet and without its version check:
# pip_quiet <python> <pip command> [arguments], pip_install <python> [arguments].
pip_quiet() {
    local py="$1"
    shift
    "$py" -m pip "$1" -q --disable-pip-version-check "${@:2}"
}
pip_install() { pip_quiet "$1" install "${@:2}"; }

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
            PYTHONPATH="$wheel" pip_install "$dir/bin/python" --no-index "$wheel"
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

# Keeps a virtual environment of an interpreter in a directory with the given
# requirement files installed: made when it is missing or of another version,
# and pip run only for requirements (by content) not installed there before.
# Its output goes to standard error.
ensure_env() {  # base interpreter, directory, requirement files...
    local base_py="$1" dir="$2" key file requirements=()
    shift 2
    [ -n "$base_py" ] || die "no interpreter to make $dir with"
    if ! is_cpython "$dir/bin/python" "$(python_version "$base_py")"; then
        say "creating $dir with $base_py"
        make_venv "$base_py" "$dir" >&2
    fi
    key="requirements $(cat "$@" | sha256sum | cut -d ' ' -f 1)"
    if ! has_stamp "$dir" "$key"; then
        say "installing $* into $dir"
        for file in "$@"; do
            requirements+=(-r "$file")
        done
        pip_install "$dir/bin/python" "${requirements[@]}" >&2
        add_stamp "$dir" "$key"
    fi
}

# The target interpreter's virtual environment (use_target_python first) with
# the given requirement files.
ensure_venv() {
    [ -n "${VENV:-}" ] || die "ensure_venv needs use_target_python first"
    ensure_env "$BASE_PY" "$VENV" "$@"
}

# Configures a build of the project with CMake for the target interpreter, with
# the environment's Ninja: cmake_configure <build directory> <build type> [-D...].
# A build without the module (-DVELTRUM_BUILD_MODULE=OFF) looks for no Python
# and is not told of one.
cmake_configure() {
    local dir="$1" type="$2" python=(-DPython_EXECUTABLE="$PY")
    shift 2
    [[ " $* " == *" -DVELTRUM_BUILD_MODULE=OFF "* ]] && python=()
    cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_MAKE_PROGRAM="$VENV/bin/ninja" \
        -DCMAKE_BUILD_TYPE="$type" "${python[@]}" "$@" >/dev/null
}

# The project's version, the first `version = "..."` of pyproject.toml (its
# [project] table's; read without tomllib, which 3.10 lacks).
project_version() {
    sed -n 's/^version = "\([^"]*\)"$/\1/p' "$ROOT/pyproject.toml" | head -n 1
}

# Prints the wheel of this version of the project in a directory for a CPython
# version (X.Y) and a machine (x86_64 or aarch64); fails unless there is
# exactly one.
built_wheel() {
    local dir="$1" version="$2" machine="$3" wheels
    wheels=("$dir"/veltrum-"$(project_version)"-cp"${version/./}"-*_"$machine".whl)
    [ -f "${wheels[0]}" ] && [ ${#wheels[@]} -eq 1 ] ||
        die "no single wheel for CPython $version on $machine in $dir: ${wheels[*]##*/}"
    printf '%s\n' "${wheels[0]}"
}

# Builds the extension and installs it into the virtual environment. The build
# is kept in a directory of the target interpreter's under build/, for the next
# install; pip run by hand builds in a temporary directory instead.
install_module() {
    say "building and installing veltrum"
    pip_install "$PY" --no-build-isolation \
        --config-settings=build-dir="$ROOT/build/module$BUILD_SUFFIX" "$ROOT"
}
