#!/usr/bin/env bash
# Runs the Python test suite on 64-bit or 32-bit ARM Linux, emulated: the
# package as a Raspberry Pi would install it, not only the core.
#
#   bash tools/emulated_suite.sh                         # aarch64: the suite
#   bash tools/emulated_suite.sh armv7                   # 32-bit ARM (Debian armhf)
#   bash tools/emulated_suite.sh aarch64 test_golden.py  # test files (in tests/) and pytest arguments
#   bash tools/emulated_suite.sh --if-cached aarch64 ... # passes, saying so, unless the root
#                                                        # filesystem is cached already (CI)
#
# Three stages, each timed:
#   root filesystem  Debian for the target (mmdebstrap from Debian's
#                    packages) with python3 and its headers, and a virtual
#                    environment at /opt/tonalis-venv with numpy, Pillow,
#                    pytest, pytest-xdist and hypothesis: on aarch64 Debian 12
#                    and PyPI's wheels, fetched here; on armv7, where PyPI has
#                    no numpy or Pillow wheels, Debian 13 (its numpy is 2.2,
#                    12's too old to build against) and Debian's packages of
#                    all five, seen through the environment. It is kept in
#                    $TONALIS_CACHE/rootfs/ARCH-KEY, the KEY a digest of what
#                    goes into it (suite, packages, requirements), and made
#                    again only when that changes.
#   wheel            tonalis built here by Debian's cross g++ through the
#                    compiler cache (tools/cache.sh), against the root
#                    filesystem as the sysroot: its Python headers and its
#                    numpy's (cmake/toolchains/TRIPLE.cmake), by the host's
#                    python3 of the same minor version and its scikit-build-core
#                    (PYTHON picks another, TONALIS_VENV its environment).
#   suite            the wheel installed in the root filesystem's environment,
#                    then pytest inside it (chroot, with /proc, /dev, /sys, a
#                    fresh /tmp and this work tree at /tonalis mounted in a
#                    mount namespace of its own, so nothing outlives the run)
#                    through qemu-user's binfmt handler, which is registered
#                    when missing. As tools/test.sh: the tests that share the
#                    machine over one worker per core, then the serial ones.
#                    The tests of tools/emulated_deselect.txt (timed ones,
#                    those too slow under emulation) are left out.
#
# Needs root (mounts, chroot, binfmt_misc) and Debian's mmdebstrap,
# qemu-user-static and the target's cross g++ (g++-aarch64-linux-gnu,
# g++-arm-linux-gnueabihf), installed when missing. Under emulation the
# suite runs about ten times slower than here; TONALIS_EMULATED_TIMEOUT
# (seconds, default 3600) bounds each pytest run. One run at a time uses a
# root filesystem (a lock); TONALIS_WERROR=1 builds with warnings as errors.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/steps.sh
source tools/cache.sh

if_cached=0
if [ "${1:-}" = --if-cached ]; then
    if_cached=1
    shift
fi
target=aarch64
case "${1:-}" in
    aarch64 | armv7)
        target=$1
        shift
        ;;
esac
# Debian 12 on aarch64; Debian 13 on armv7, whose numpy is 2.2 (12 has
# 1.24, older than the headers the module is built against).
case "$target" in
    aarch64) debarch=arm64 triple=aarch64-linux-gnu qemu=aarch64 platform=linux-aarch64 suite=bookworm ;;
    armv7) debarch=armhf triple=arm-linux-gnueabihf qemu=arm platform=linux-armv7l suite=trixie ;;
esac
venv_dir=/opt/tonalis-venv
build="build/emulated-$target"
logs="build/logs/emulated-$target"
mkdir -p "$logs"

# What the root filesystem is made of: the test dependencies from PyPI
# where it has wheels for the target, else all of them from Debian.
debian_packages=(python3 python3-venv python3-pip python3-dev)
pypi_names=(numpy Pillow pytest pytest-xdist hypothesis)
if [ "$target" = armv7 ]; then
    debian_packages+=(python3-numpy python3-pil python3-pytest python3-pytest-xdist python3-hypothesis)
    pypi_names=()
fi
# The project's own bounds on those names (pyproject.toml).
pypi=()
while read -r requirement; do
    name=${requirement%%[<>=!~ ;\[]*}
    for wanted in "${pypi_names[@]+"${pypi_names[@]}"}"; do
        [ "${name,,}" = "${wanted,,}" ] && pypi+=("$requirement")
    done
done < <(requirements_of_project "${PYTHON:-python3}")
key=$(printf '%s\n' "debian $suite $debarch" "${debian_packages[*]}" "pypi ${pypi[*]}" "venv $venv_dir" |
    sha256sum | cut -c1-12)
root="$TONALIS_CACHE/rootfs/$debarch-$key"

if [ "$if_cached" = 1 ] && [ ! -e "$root/.tonalis-ready" ]; then
    echo "skipped: no cached $debarch root filesystem ($root); bash tools/emulated_suite.sh $target makes one"
    exit 0
fi
if [ "$(id -u)" != 0 ]; then
    echo "tools/emulated_suite.sh needs root (mounts, chroot, binfmt_misc)" >&2
    exit 1
fi

# register_qemu: qemu-user as the kernel's handler of the target's programs,
# from qemu-user-static's own description (/usr/share/binfmts). With the F
# flag the kernel holds the emulator open, so no copy of it is needed inside
# the root filesystem.
register_qemu() {
    local binfmt=/proc/sys/fs/binfmt_misc
    [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
    [ -e "$binfmt/qemu-$qemu" ] && return 0
    local description="/usr/share/binfmts/qemu-$qemu" magic mask interpreter flags=""
    magic=$(sed -n 's/^magic //p' "$description")
    mask=$(sed -n 's/^mask //p' "$description")
    interpreter=$(sed -n 's/^interpreter //p' "$description")
    grep -qx 'preserve yes' "$description" && flags+=P
    grep -qx 'credentials yes' "$description" && flags+=C
    grep -qx 'fix_binary yes' "$description" && flags+=F
    step "registering $interpreter as the handler of $target programs"
    printf ':qemu-%s:M:0:%s:%s:%s:%s' "$qemu" "$magic" "$mask" "$interpreter" "$flags" >"$binfmt/register"
}

# enter_root ROOT COMMAND...: runs COMMAND inside ROOT with /proc, /dev,
# /sys, an empty /tmp and the work tree at /tonalis, from /tonalis/tests,
# with a clean environment (the TONALIS_ switches pass). Called in a mount
# namespace of its own, so the mounts go when it ends.
enter_root() {
    local root=$1 repo=$2
    shift 2
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    mount --rbind /sys "$root/sys"
    mount -t tmpfs tmpfs "$root/tmp"
    mkdir -p "$root/tonalis"
    mount --bind "$repo" "$root/tonalis"
    local pass=() variable
    for variable in $(compgen -e); do
        case "$variable" in
            TONALIS_CACHE | TONALIS_VENV | TONALIS_STEPS_START) ;;
            TONALIS_* | HYPOTHESIS_*) pass+=("$variable=${!variable}") ;;
        esac
    done
    exec chroot "$root" /usr/bin/env -i PATH=/opt/tonalis-venv/bin:/usr/bin:/bin HOME=/root \
        LANG=C.UTF-8 PYTHONDONTWRITEBYTECODE=1 "${pass[@]}" \
        /bin/sh -c 'cd /tonalis/tests && exec "$@"' sh "$@"
}

# in_root ROOT COMMAND...: enter_root in a private mount namespace, bounded
# in time.
in_root() {
    timeout --kill-after=30 "${TONALIS_EMULATED_TIMEOUT:-3600}" \
        unshare --mount --propagation private \
        bash -c "$(declare -f enter_root); enter_root \"\$@\"" enter_root "$1" "$TONALIS_ROOT" "${@:2}"
}

# The machine's Debian mirror, from its own apt sources.
debian_mirror() {
    local uri
    uri=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
        awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /^https?:\/\//) print $i }' |
        grep -E '/debian/?$' | head -n 1 || true)
    if [ -z "$uri" ]; then
        uri=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null |
            awk '$1 == "URIs:" { for (i = 2; i <= NF; i++) print $i }' |
            grep -E '/debian/?$' | head -n 1 || true)
    fi
    echo "${uri:-http://deb.debian.org/debian}"
}

# refuse_mounted DIR: fails when anything is mounted below DIR, which
# removing it would reach into.
refuse_mounted() {
    if findmnt -rn -o TARGET | grep -q "^$1"; then
        echo "something is mounted under $1; not removing it" >&2
        return 1
    fi
}

# make_root: the root filesystem, into ROOT.partial and then renamed.
make_root() {
    local partial="$root.partial"
    debian_tools mmdebstrap=mmdebstrap
    refuse_mounted "$TONALIS_CACHE/rootfs/$debarch-"
    rm -rf "$partial"
    # Root filesystems of this architecture under older keys are of no more use.
    rm -rf "$TONALIS_CACHE/rootfs/$debarch-"*
    mkdir -p "$TONALIS_CACHE/rootfs"
    local includes
    includes=$(
        IFS=,
        echo "${debian_packages[*]}"
    )
    step "root filesystem: Debian $suite $debarch with ${debian_packages[*]} (mmdebstrap); log: $logs/mmdebstrap.log"
    # The mirror may serve a frozen snapshot whose Release files have expired;
    # the signatures are still checked.
    quietly "$logs/mmdebstrap.log" "mmdebstrap" unshare --mount --propagation private \
        mmdebstrap --mode=root --variant=apt --arch="$debarch" --include="$includes" \
        --aptopt='Acquire::Check-Valid-Until "false"' \
        "$suite" "$partial" "deb $(debian_mirror) $suite main"
    mkdir -p "$partial/tonalis" "$partial/var/cache/tonalis-wheels"
    local venv_options=() wheels="$partial/var/cache/tonalis-wheels"
    [ "$target" = armv7 ] && venv_options=(--system-site-packages)
    local minor
    minor=$(readlink "$partial/usr/bin/python3")
    minor=${minor#python}
    if [ ${#pypi[@]} -ne 0 ]; then
        # Fetched here, with this machine's pip and its settings, and
        # installed inside from the folder: pip under emulation needs no
        # network.
        step "root filesystem: fetching ${pypi[*]} for $platform from PyPI"
        local platforms=(--platform "${platform//-/_}")
        local glibc
        for glibc in 2_36 2_35 2_34 2_31 2_28 2_27 2_24 2_17; do
            platforms+=(--platform "manylinux_${glibc}_${platform#linux-}")
        done
        [ "$target" = aarch64 ] && platforms+=(--platform manylinux2014_aarch64)
        quietly "$logs/download.log" "pip download" python3 -m pip download --only-binary=:all: \
            "${platforms[@]}" --python-version "$minor" --implementation cp \
            --abi "cp${minor/./}" -d "$wheels" "${pypi[@]}"
    fi
    step "root filesystem: $venv_dir, under emulation"
    quietly "$logs/venv.log" "python3 -m venv" in_root "$partial" \
        python3 -m venv "${venv_options[@]}" "$venv_dir"
    if [ ${#pypi[@]} -ne 0 ]; then
        quietly "$logs/pip.log" "pip install" in_root "$partial" \
            "$venv_dir/bin/python" -m pip install -q --no-index --find-links /var/cache/tonalis-wheels "${pypi[@]}"
    fi
    rm -rf "$wheels"
    # What the build needs to know of the target's interpreter.
    in_root "$partial" "$venv_dir/bin/python" -c 'import sys, sysconfig, numpy
print("version", "%d.%d" % sys.version_info[:2])
print("ext_suffix", sysconfig.get_config_var("EXT_SUFFIX"))
print("include", sysconfig.get_path("include"))
print("numpy_include", numpy.get_include())
print("numpy", numpy.__version__)' >"$partial/.tonalis-target"
    echo "$key" >"$partial/.tonalis-ready"
    mv "$partial" "$root"
}

# target_fact NAME: a line of the root filesystem's .tonalis-target.
target_fact() {
    sed -n "s/^$1 //p" "$root/.tonalis-target"
}

# minor_of PYTHON: its major.minor version, or nothing when it does not run.
minor_of() {
    "$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null || true
}
step "$target tools: $triple-g++, qemu-$qemu-static"
debian_tools "$triple-g++=g++-$triple" "qemu-$qemu-static=qemu-user-static"
register_qemu

stage_began=$SECONDS
if [ -e "$root/.tonalis-ready" ] && [ "${TONALIS_NO_CACHE:-0}" != 1 ]; then
    step "root filesystem: reusing $root"
else
    make_root
fi
rootfs_took=$((SECONDS - stage_began))
# The wheel is built by an interpreter of the target's version: PYTHON,
# else python3, python3.X or pyenv's 3.X.
root_minor=$(target_fact version)
python=${PYTHON:-}
if [ -z "$python" ]; then
    for candidate in python3 "python$root_minor" "${PYENV_ROOT:-$HOME/.pyenv}/versions/$root_minor".*/bin/python3; do
        if [ "$(minor_of "$candidate")" = "$root_minor" ]; then
            python=$candidate
            break
        fi
    done
fi
if [ -z "$python" ] || [ "$(minor_of "$python")" != "$root_minor" ]; then
    echo "the root filesystem has Python $root_minor: the wheel is built by an interpreter" \
        "of that version (PYTHON=python$root_minor)" >&2
    exit 1
fi

exec 9>"$root.lock"
flock 9

stage_began=$SECONDS
step "wheel: tonalis for $target with $triple-g++; log: $logs/build.log"
use_compiler_cache
venv=$(python_environment "$python" "py$("$python" -c 'import sys; print(sys.version.split()[0])')" "$logs")
rm -rf "$build/wheel"
options=(
    "-Cbuild-dir=$build/build"
    "-Ccmake.define.CMAKE_TOOLCHAIN_FILE=$TONALIS_ROOT/cmake/toolchains/$triple.cmake"
    "-Ccmake.define.CMAKE_SYSROOT=$root"
    "-Ccmake.define.Python_INCLUDE_DIR=$root$(target_fact include)"
    "-Ccmake.define.Python_NumPy_INCLUDE_DIR=$root$(target_fact numpy_include)"
)
[ "${TONALIS_WERROR:-0}" = 1 ] && options+=(-Ccmake.define.TONALIS_WERROR=ON)
# scikit-build-core names the wheel for _PYTHON_HOST_PLATFORM and the
# modules for SETUPTOOLS_EXT_SUFFIX.
quietly "$logs/build.log" "building" env CXX="$triple-g++" _PYTHON_HOST_PLATFORM="$platform" \
    SETUPTOOLS_EXT_SUFFIX="$(target_fact ext_suffix)" \
    "$venv/bin/python" -m pip wheel -v --no-deps --no-build-isolation -w "$build/wheel" "${options[@]}" .
wheel=$(ls "$build/wheel"/*.whl)
wheel_took=$((SECONDS - stage_began))

stage_began=$SECONDS
step "suite: installing $(basename "$wheel") in $root$venv_dir"
quietly "$logs/install.log" "pip install" in_root "$root" \
    "$venv_dir/bin/python" -m pip install -q --no-deps --no-index --force-reinstall "/tonalis/$wheel"

# The tests left out, with why (tools/emulated_deselect.txt).
deselect=()
while read -r test _; do
    deselect+=(--deselect "$test")
done < <(grep -vE '^\s*(#|$)' tools/emulated_deselect.txt)

emulated_python() {
    in_root "$root" "$venv_dir/bin/python" "$@"
}
step "suite: pytest on $target under QEMU ($(target_fact numpy | sed 's/^/numpy /'))"
status=0
run_suite emulated_python "${deselect[@]}" "$@" || status=$?
suite_took=$((SECONDS - stage_began))
echo "    stages (mm:ss): root filesystem $(clock "$rootfs_took"), wheel $(clock "$wheel_took")," \
    "suite $(clock "$suite_took")"
if [ "$status" -ne 0 ]; then
    step "$target: the suite FAILED"
    exit "$status"
fi
step "$target: the suite passed"
