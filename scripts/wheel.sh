#!/usr/bin/env bash
# Builds the release files into dist/: the sdist, and from it a wheel for each interpreter
# and architecture in WHEELS below, none of which needs more than glibc 2.28
# (manylinux_2_28, the floor of NumPy's own wheels). Then checks them, and tests each
# wheel as a user gets it (scripts/test-wheel.sh) on the interpreters named.
#
#   scripts/wheel.sh [PYTEST_ARG...]
#
# The compiler is zig's C and C++ compiler (the ziglang package, fetched from PyPI into
# a tools venv), targeting glibc 2.28 of each architecture: it links its C++ runtime
# (libc++) statically, so no binary needs a newer libstdc++ either, and its cache
# (QUORPY_ZIG_CACHE, default ~/.cache/quorpy/zig) holds what it builds of its runtimes
# (a minute or two each, the first time). Each wheel is built from the sdist for an
# interpreter that need not run here (CMake cross-compiles), with that interpreter's
# headers: the machine's CPython 3.13 and the 3.13t, 3.14 and 3.15 of scripts/pythons.sh
# for x86-64; Debian's libpython3.X-dev packages for aarch64 (unpacked into
# ~/.cache/quorpy/debian), which has no free-threaded wheel: Debian has no such build.
#
# The checks: every binary in every wheel references no glibc symbol version above 2.28
# (objdump -T) and exports no C++ symbol (the static C++ runtime stays inside), and
# auditwheel finds the wheel consistent with manylinux_2_28 or older, without a repair;
# twine check --strict on every file. Each binary's newest GLIBC version and auditwheel's
# tag are printed.
#
# QUORPY_WHEEL_ARCHS names the architectures built (default: "x86_64 aarch64");
# QUORPY_WHEEL_TESTS the interpreters the wheels are tested on, as scripts/pythons.sh
# names them, 3.13 being the machine's own (default: "3.13 3.13t 3.14 3.15 aarch64
# bullseye"): on each, the wheel made for it runs the whole suite (extra arguments go to
# pytest). aarch64 is the emulated chroot's python3, bullseye the Debian 11 one's 3.13,
# which tests the x86-64 cp313 wheel on glibc 2.31.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/scripts/find-python.sh"
source "$ROOT/scripts/debian.sh"
PY=$(find_python)
cd "$ROOT"
read -r -a archs <<<"${QUORPY_WHEEL_ARCHS:-x86_64 aarch64}"
read -r -a tests <<<"${QUORPY_WHEEL_TESTS:-3.13 3.13t 3.14 3.15 aarch64 bullseye}"
unset PYTHON_GIL  # on the free-threaded build, the GIL stays as the module leaves it: off
GLIBC_FLOOR=2.28

# The wheels: the interpreter's tag (the wheel's ABI tag; its Python tag drops the "t"),
# the architecture, and where the interpreter's headers come from (see headers).
WHEELS=(
    "cp313 x86_64 machine"
    "cp313t x86_64 3.13t"
    "cp314 x86_64 3.14"
    "cp315 x86_64 3.15"
    "cp313 aarch64 trixie"
    "cp314 aarch64 sid"
    "cp315 aarch64 sid"
)

say() { echo "wheel: $*" >&2; }

CACHE=${XDG_CACHE_HOME:-$HOME/.cache}/quorpy
export ZIG_GLOBAL_CACHE_DIR=${QUORPY_ZIG_CACHE:-$CACHE/zig}
BUILD=$ROOT/build/wheels
TOOLS=$ROOT/build/wheel-tools
[ -x "$TOOLS/bin/python" ] || "$PY" -m venv "$TOOLS"
# Pinned: they make the binaries. The build runs in this venv (no isolation), with its
# CMake and Ninja.
"$TOOLS/bin/python" -m pip --disable-pip-version-check -q install "ziglang==0.17.1" \
    "scikit-build-core==1.1.2" "cmake==4.5.1" "ninja==1.13.2" "build==1.6.1" "auditwheel==6.8.2" "twine==7.0.0"
ZIG=$("$TOOLS/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')

# copy_headers INCLUDE TRIPLET DEST: a Python's C headers into DEST, in one directory:
# Debian's pyconfig.h only picks the architecture's own from beside, which replaces it.
copy_headers() {
    rm -rf "$3" && mkdir -p "$3" && cp -rL "$1/." "$3/" || return
    local own
    own=$(dirname "$1")/$2/$(basename "$1")/pyconfig.h
    [ ! -f "$own" ] || cp "$own" "$3/pyconfig.h"
}

# headers TAG ARCH SOURCE DEST: the headers of the interpreter that TAG names, from SOURCE
# (an interpreter of scripts/pythons.sh, asked where it is; "machine", the one this
# script runs with; or a Debian suite, whose libpython3.X-dev package is unpacked).
headers() {
    local tag=$1 arch=$2 source=$3 dest=$4 version
    version=${tag:2:1}.${tag:3}
    local include='import sysconfig; print(sysconfig.get_path("include"))'
    case $source in
    machine)
        if [ "$(python_tag "$PY")" != "$tag" ]; then
            say "$PY is not the $tag interpreter its wheel is built for (QUORPY_PYTHON names it)"
            return 1
        fi
        copy_headers "$("$PY" -c "$include")" "$arch-linux-gnu" "$dest"
        ;;
    3.*)
        scripts/pythons.sh run "$source" bash -c "$(declare -f copy_headers)"'
            copy_headers "$("$QUORPY_PYTHON" -c "$1")" "$2" "$3"' bash "$include" "$arch-linux-gnu" "$dest"
        ;;
    *)
        local debs=$CACHE/debian/$source-$arch debian_arch
        debian_arch=$([ "$arch" = aarch64 ] && echo arm64 || echo amd64)
        if [ ! -d "$debs/python$version/usr/include/python$version" ]; then
            say "downloading libpython$version-dev ($source, $debian_arch) into $debs"
            rm -rf "$debs/python$version" && mkdir -p "$debs/python$version"
            debian_download "$debs" "$debian_arch" "$source" "libpython$version-dev/$source"
            dpkg-deb -x "$debs"/libpython"$version"-dev_*_"$debian_arch".deb "$debs/python$version"
        fi
        copy_headers "$debs/python$version/usr/include/python$version" "$arch-linux-gnu" "$dest"
        ;;
    esac
}

# toolchain ARCH: the CMake toolchain file of ARCH, without the interpreter; its
# compilers are zig's, wrapped: CMake takes a compiler as one command.
toolchain() {
    local arch=$1 lang
    for lang in cc c++; do
        cat >"$BUILD/zig-$arch-$lang" <<EOF
#!/bin/sh
ZIG_GLOBAL_CACHE_DIR='$ZIG_GLOBAL_CACHE_DIR' exec '$ZIG' $lang -target $arch-linux-gnu.$GLIBC_FLOOR -mcpu=baseline "\$@"
EOF
        chmod +x "$BUILD/zig-$arch-$lang"
    done
    cat <<EOF
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR $arch)
set(CMAKE_C_COMPILER "$BUILD/zig-$arch-cc")
set(CMAKE_CXX_COMPILER "$BUILD/zig-$arch-c++")
EOF
}

# build_wheel TAG ARCH SOURCE: the wheel into dist/, built from the unpacked sdist.
build_wheel() {
    local tag=$1 arch=$2 name=$1-$2 log
    log=$BUILD/$name.log
    headers "$tag" "$arch" "$3" "$BUILD/include/$name"
    {
        toolchain "$arch"
        echo "set(Python_INCLUDE_DIR \"$BUILD/include/$name\" CACHE PATH \"\")"
        echo "set(Python_SOABI cpython-${tag#cp}-$arch-linux-gnu CACHE STRING \"\")"
    } >"$BUILD/$name.cmake"
    say "building the $tag wheel for $arch (log: $log)"
    "$TOOLS/bin/python" -m build --wheel --no-isolation --outdir dist -Cbuild-dir="$BUILD/$name" \
        -Ccmake.python-hints=false -Ccmake.define.CMAKE_TOOLCHAIN_FILE="$BUILD/$name.cmake" \
        -Cwheel.tags="${tag%t}-$tag-manylinux_${GLIBC_FLOOR/./_}_$arch" "$BUILD/sdist" >"$log" 2>&1 || {
        tail -n 30 "$log" >&2
        return 1
    }
}

# check_wheel WHEEL: see the top of the file.
check_wheel() {
    local wheel=$1 dir bin newest cxx tag status=0
    dir=$(mktemp -d)
    unzip -q "$wheel" -d "$dir"
    for bin in "$dir"/quorpy/*.so; do
        newest=$(objdump -T "$bin" | grep -o 'GLIBC_[0-9.]*' | sort -uV | tail -n 1)
        cxx=$(nm -D --defined-only "$bin" | awk '$3 ~ /^_Z/ { print $3 }')
        echo "  $(basename "$bin"): newest $newest, $(nm -D --defined-only "$bin" | wc -l) exports"
        if [ "$(printf '%s\n' "${newest#GLIBC_}" "$GLIBC_FLOOR" | sort -V | tail -n 1)" != "$GLIBC_FLOOR" ]; then
            echo "  $(basename "$bin") needs $newest, above glibc $GLIBC_FLOOR" >&2
            status=1
        fi
        if [ -n "$cxx" ]; then
            echo "  $(basename "$bin") exports C++ symbols:" $cxx >&2
            status=1
        fi
    done
    rm -rf "$dir"
    tag=$("$TOOLS/bin/auditwheel" show "$wheel" | tr '\n' ' ' | grep -o 'platform tag: "[^"]*"' | head -n 1 | cut -d'"' -f2)
    echo "  auditwheel show: consistent with $tag"
    if [[ ! $tag =~ ^manylinux_2_([0-9]+)_ ]] || [ "${BASH_REMATCH[1]}" -gt "${GLIBC_FLOOR#2.}" ]; then
        echo "  auditwheel finds $wheel consistent with $tag only" >&2
        status=1
    fi
    return "$status"
}

rm -rf dist "$BUILD/sdist"
mkdir -p "$BUILD/include" "$ZIG_GLOBAL_CACHE_DIR"
"$TOOLS/bin/python" -m build --sdist --outdir dist . >"$BUILD/sdist.log" 2>&1 || {
    tail -n 30 "$BUILD/sdist.log" >&2
    exit 1
}
# Unpacked with the files' own times, so that a build directory kept from an earlier run
# rebuilds only what changed.
mkdir -p "$BUILD/sdist"
tar -xzf dist/quorpy-*.tar.gz -C "$BUILD/sdist" --strip-components=1
for wheel in "${WHEELS[@]}"; do
    read -r tag arch source <<<"$wheel"
    [[ " ${archs[*]} " == *" $arch "* ]] || continue
    build_wheel "$tag" "$arch" "$source"
done
status=0
for wheel in dist/*.whl; do
    echo "$wheel"
    check_wheel "$wheel" || status=1
done
"$TOOLS/bin/twine" check --strict dist/*
[ "$status" -eq 0 ] || exit 1
ls -l dist

failed=()
for version in "${tests[@]}"; do
    say "testing the wheel for $version"
    if [ "$version" = 3.13 ]; then
        scripts/test-wheel.sh "$@" || failed+=("$version")
    else
        scripts/pythons.sh run "$version" scripts/test-wheel.sh "$@" || failed+=("$version")
    fi
done
if [ ${#failed[@]} -gt 0 ]; then
    say "the suite failed against the wheel on: ${failed[*]}"
    exit 1
fi
