#!/usr/bin/env bash
# Prints the path of a free-threaded CPython (built with --disable-gil),
# building it first when the cache does not hold one.
#
#   python=$(bash tools/freethreaded_python.sh)
#   python=$(bash tools/freethreaded_python.sh --cached)   # a cached one if any, no look-up
#
# Debian ships no free-threaded interpreter, so this one is built from the
# pristine upstream tarball of Debian's python3.14 source package, or
# python3.13's when 3.14's cannot be had. The source comes through apt with a
# configuration of its own (nothing under /etc/apt is read for sources or
# changed); the build dependencies are installed with the system's apt-get
# when missing. The interpreter lives in
# ${TONALIS_CACHE:-~/.cache/tonalis}/cpython-VERSIONt, one folder per version,
# and is built only when that folder is missing. Progress goes to stderr;
# stdout carries the path only.
set -euo pipefail
exec 3>&1 1>&2
here=$(cd "$(dirname "$0")" && pwd)
source "$here/steps.sh"

cache=${TONALIS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tonalis}
packages=(python3.14 python3.13)
suites=(forky trixie)
build_deps=(build-essential pkg-config libssl-dev zlib1g-dev libffi-dev libbz2-dev
    liblzma-dev libsqlite3-dev libreadline-dev libncurses-dev uuid-dev libgdbm-dev
    libzstd-dev xz-utils)

found() {  # found DIR: hands DIR's interpreter to the caller and stops
    local python
    python=$(ls "$1"/bin/python3.*t | head -n 1)
    echo "free-threaded interpreter: $python"
    echo "$python" >&3
    exit 0
}

newest_cached() {
    ls -d "$cache"/cpython-*t 2>/dev/null | sort -V | while read -r dir; do
        [ -e "$dir/.complete" ] && echo "$dir"
    done | tail -n 1
}

# The machine's Debian mirror, from its own apt sources.
mirror() {
    local uri
    uri=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null \
        | awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /^https?:\/\//) print $i }' \
        | grep -E '/debian/?$' | head -n 1 || true)
    if [ -z "$uri" ]; then
        uri=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null \
            | awk '$1 == "URIs:" { for (i = 2; i <= NF; i++) print $i }' \
            | grep -E '/debian/?$' | head -n 1 || true)
    fi
    echo "${uri:-http://deb.debian.org/debian}"
}

install_build_deps() {
    local missing=() pkg
    for pkg in "${build_deps[@]}"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed' || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    step "installing build dependencies: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y -q "${missing[@]}" || { apt-get update -q && apt-get install -y -q "${missing[@]}"; }
}

if [ "${1:-}" = --cached ]; then
    cached=$(newest_cached)
    [ -n "$cached" ] && found "$cached"
fi

mkdir -p "$cache"
apt_dir="$cache/apt"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/src"
for suite in "${suites[@]}"; do
    echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $(mirror) $suite main"
done >"$apt_dir/sources.list"
# The registry serves a frozen snapshot whose Release files have expired,
# hence Check-Valid-Until=false; the signatures are still checked.
apt_options=(
    -o "Dir::Etc::SourceList=$apt_dir/sources.list"
    -o "Dir::Etc::SourceParts=/nonexistent"
    -o "Dir::State::Lists=$apt_dir/lists"
    -o "Dir::Cache=$apt_dir/cache"
    -o "Acquire::Check-Valid-Until=false"
    -o "APT::Sandbox::User=root"
)

step "looking up Debian's CPython source packages"
if ! quietly "$apt_dir/update.log" "apt-get update (private lists)" \
    apt-get "${apt_options[@]}" update; then
    cached=$(newest_cached)
    if [ -n "$cached" ]; then
        echo "the source index cannot be read; using the cached $cached"
        found "$cached"
    fi
    exit 1
fi

for package in "${packages[@]}"; do
    versions=$(apt-cache "${apt_options[@]}" showsrc "$package" 2>/dev/null \
        | sed -n 's/^Version: //p' | sort -u -r -V)
    for version in $versions; do
        upstream=${version#*:}
        upstream=${upstream%-*}
        prefix="$cache/cpython-${upstream}t"
        if [ -e "$prefix/.complete" ]; then
            echo "cached: $prefix (from $package $version)"
            found "$prefix"
        fi
        step "downloading $package $version"
        rm -rf "$apt_dir/src" && mkdir -p "$apt_dir/src"
        if ! (cd "$apt_dir/src" && apt-get "${apt_options[@]}" -q source --download-only \
            "$package=$version" >"$apt_dir/source.log" 2>&1); then
            grep '^E:' "$apt_dir/source.log" | head -n 1 | sed 's/^/    /'
            echo "    $package $version cannot be downloaded; trying the next one"
            continue
        fi
        tarball=$(ls "$apt_dir/src/${package}_${upstream}.orig.tar."* | head -n 1)
        install_build_deps

        work="$cache/build-${upstream}t"
        rm -rf "$work" "$prefix"
        mkdir -p "$work"
        step "building CPython $upstream with --disable-gil into $prefix (logs in $work)"
        tar -xf "$tarball" -C "$work" --strip-components=1
        (
            cd "$work"
            # Without CPython's own test modules and test package (nothing
            # here uses them): less to compile, and far less for make
            # install to byte-compile three times over.
            quietly "$work/configure.log" "configure" ./configure --disable-gil --disable-test-modules \
                --prefix="$prefix"
            quietly "$work/make.log" "make -j2" make -j2
            quietly "$work/install.log" "make install" make install
        )
        python=$(ls "$prefix"/bin/python3.*t | head -n 1)
        # pip needs ssl, the suite needs the rest; a missing one fails here, not later.
        "$python" -c 'import sys, sysconfig, ssl, sqlite3, zlib, bz2, lzma, ctypes, readline
assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1, "not a free-threaded build"
assert not sys._is_gil_enabled(), "the GIL is enabled"'
        touch "$prefix/.complete"
        rm -rf "$work" "$apt_dir/src"
        found "$prefix"
    done
done
cached=$(newest_cached)
if [ -n "$cached" ]; then
    echo "no newer source package could be downloaded; using the cached $cached"
    found "$cached"
fi
echo "no free-threaded CPython could be built: no ${packages[*]} source package could be downloaded" >&2
exit 1
