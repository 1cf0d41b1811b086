#!/usr/bin/env bash
# Provides the interpreters the project is tested on besides the machine's own CPython
# 3.13, in a cache outside the source tree, reusing what is already there:
#   3.14, 3.15  Debian unstable's python3.14 / python3.15 (with -dev and -venv), in a
#               Debian unstable chroot made with debootstrap: they need its C library
#   3.13t       free-threaded CPython 3.13.5, built with --disable-gil from the source
#               tarball in Debian's stable archive
#
#   scripts/pythons.sh [VERSION...]               provide them (default: all) and say where
#   scripts/pythons.sh run VERSION COMMAND [ARG...]
#                                                 run COMMAND with QUORPY_PYTHON naming that
#                                                 interpreter (see scripts/find-python.sh)
#
# `run` enters the chroot for 3.14 and 3.15: a private mount namespace (so nothing stays
# mounted afterwards) with the source tree mounted at its own path, and a clean
# environment, so that none of the host's pip settings (certificates, find-links,
# constraint files) leaks in; QUORPY_* and PYTEST_* variables pass through.
#
# QUORPY_PYTHONS is the cache (default: ~/.cache/quorpy/pythons); QUORPY_DEBIAN_MIRROR the
# mirror (default: http://deb.debian.org/debian). The chroot needs root and debootstrap
# (installed with apt-get when missing); the source build needs a C compiler and the
# usual -dev packages (OpenSSL, libffi, zlib, bz2, lzma).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
CACHE=${QUORPY_PYTHONS:-${XDG_CACHE_HOME:-$HOME/.cache}/quorpy/pythons}
MIRROR=${QUORPY_DEBIAN_MIRROR:-http://deb.debian.org/debian}
SID=$CACHE/sid
FT_VERSION=3.13.5
FT_TARBALL=python3.13_$FT_VERSION.orig.tar.xz
# From the Sources index of Debian 13 (trixie), which its signed Release file covers.
FT_SHA256=93e583f243454e6e9e4588ca2c2662206ad961659863277afcdb96801647d640
FT_PREFIX=$CACHE/cpython-${FT_VERSION}t
ALL=(3.14 3.15 3.13t)

say() { echo "pythons: $*" >&2; }

interpreter() {  # interpreter VERSION: the command, as seen where `run` runs it
    case $1 in
    3.14 | 3.15) echo "/usr/bin/python$1" ;;
    3.13t) echo "$FT_PREFIX/bin/python3.13t" ;;
    *)
        say "unknown interpreter '$1' (known: ${ALL[*]})"
        return 2
        ;;
    esac
}

# --- Debian unstable chroot -------------------------------------------------------------

sid_ready() { [ -f "$SID/.quorpy-ready" ]; }

# sid_enter COMMAND...: runs COMMAND inside the chroot as root, with a clean environment,
# in the current directory if it is in the source tree, else at the tree's top.
sid_enter() {
    local passed=() var cwd=$ROOT
    case $PWD/ in "$ROOT"/*) cwd=$PWD ;; esac
    while IFS='=' read -r var _; do
        case $var in QUORPY_* | PYTEST_*) passed+=("$var=${!var}") ;; esac
    done < <(env)
    unshare --mount --propagation private -- bash -euo pipefail -c '
        sid=$1 root=$2 cwd=$3 npassed=$4
        shift 4
        mount -t proc proc "$sid/proc"
        mount --rbind /dev "$sid/dev"
        mkdir -p "$sid$root"
        mount --bind "$root" "$sid$root"
        exec chroot "$sid" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" \
            PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "${@:1:npassed}" \
            /bin/bash -c "cd \"\$0\" && exec \"\$@\"" "$cwd" "${@:npassed+1}"
    ' sid "$SID" "$ROOT" "$cwd" ${#passed[@]} ${passed[@]+"${passed[@]}"} "$@"
}

make_sid() {
    sid_ready && return
    if [ "$(id -u)" -ne 0 ]; then
        say "the Debian unstable chroot needs root (debootstrap, chroot, mount)"
        return 1
    fi
    if ! command -v debootstrap >/dev/null 2>&1; then
        say "installing debootstrap"
        apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
    fi
    say "making a Debian unstable chroot in $SID (about 3 minutes)"
    rm -rf "$SID"
    mkdir -p "$SID"
    debootstrap --variant=minbase sid "$SID" "$MIRROR" >"$CACHE/debootstrap.log" 2>&1 || {
        tail -n 20 "$CACHE/debootstrap.log" >&2
        return 1
    }
    # The mirror's Release file may be past its Valid-Until date: a frozen snapshot.
    echo 'Acquire::Check-Valid-Until "false";' >"$SID/etc/apt/apt.conf.d/99quorpy"
    cp /etc/resolv.conf "$SID/etc/resolv.conf"
    sid_enter /bin/sh -c '
        apt-get update -qq &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
            ca-certificates g++ make util-linux \
            python3.14 python3.14-dev python3.14-venv python3.15 python3.15-dev python3.15-venv >/dev/null &&
        apt-get clean'
    # The host's CA bundle, for hosts whose HTTPS goes through their own authority.
    cp /etc/ssl/certs/ca-certificates.crt "$SID/etc/ssl/certs/ca-certificates.crt"
    touch "$SID/.quorpy-ready"
}

# --- free-threaded CPython from source ---------------------------------------------------

make_freethreaded() {
    [ -x "$FT_PREFIX/bin/python3.13t" ] && return
    local src=$CACHE/src build
    mkdir -p "$src"
    if ! echo "$FT_SHA256  $src/$FT_TARBALL" | sha256sum --check --status 2>/dev/null; then
        say "downloading $FT_TARBALL"
        curl -fsSL -o "$src/$FT_TARBALL" "$MIRROR/pool/main/p/python3.13/$FT_TARBALL"
        echo "$FT_SHA256  $src/$FT_TARBALL" | sha256sum --check --quiet
    fi
    build=$(mktemp -d "$CACHE/build.XXXXXX")
    say "building CPython ${FT_VERSION}t into $FT_PREFIX (about 6 minutes; log: $build/build.log)"
    (
        cd "$build"
        tar -xf "$src/$FT_TARBALL" --strip-components=1
        ./configure --disable-gil --prefix="$FT_PREFIX" --with-ensurepip=install
        make -j"$(nproc)"
        make install
    ) >"$build/build.log" 2>&1 || {
        tail -n 30 "$build/build.log" >&2
        return 1
    }
    rm -rf "$build"
}

# --- commands ---------------------------------------------------------------------------

provide() {
    mkdir -p "$CACHE"
    exec 8>"$CACHE/.lock"
    flock 8
    local v
    for v in "$@"; do
        interpreter "$v" >/dev/null
        case $v in
        3.14 | 3.15) make_sid ;;
        3.13t) make_freethreaded ;;
        esac
    done
    exec 8>&-
}

if [ "${1:-}" = run ]; then
    [ $# -ge 3 ] || {
        say "usage: $0 run VERSION COMMAND [ARG...]"
        exit 2
    }
    version=$2
    shift 2
    provide "$version"
    py=$(interpreter "$version")
    case $version in
    3.14 | 3.15) QUORPY_PYTHON=$py sid_enter "$@" ;;
    *) QUORPY_PYTHON=$py "$@" ;;
    esac
    exit
fi

[ $# -gt 0 ] || set -- "${ALL[@]}"
provide "$@"
for v in "$@"; do
    case $v in
    3.14 | 3.15) echo "$v  $(sid_enter "$(interpreter "$v")" -VV | head -n 1)  (in $SID)" ;;
    *) echo "$v  $("$(interpreter "$v")" -VV | head -n 1)  ($(interpreter "$v"))" ;;
    esac
done
