#!/usr/bin/env bash
# Provides the interpreters the project is tested on besides the machine's own CPython
# 3.13, in a cache outside the source tree, reusing what is already there:
#   3.14, 3.15  Debian unstable's python3.14 / python3.15 (with -dev and -venv), in a
#               Debian unstable chroot made with debootstrap: they need its C library
#   3.13t       free-threaded CPython 3.13.5, built with --disable-gil from the source
#               tarball in Debian's stable archive
# and, on demand only (they take long to make and to run), Debian unstable's python3 on
# another architecture, in a chroot of that architecture run under qemu's user-mode
# emulation:
#   s390x       big-endian; NumPy publishes no wheels for it, so the venv sees Debian's
#               python3-numpy (QUORPY_SYSTEM_SITE_PACKAGES=1, see scripts/setup-env.sh)
#   aarch64     little-endian, NumPy from its wheel
# and, on demand too, the oldest C library the wheels are tested on (scripts/wheel.sh):
#   bullseye    CPython 3.13.5, built from the same tarball as 3.13t, in a Debian 11
#               chroot (glibc 2.31; Debian 10 is no longer on the mirror)
# and, on demand as well, 3.13t built once more for ThreadSanitizer:
#   3.13t-tsan  the same tarball, --disable-gil --with-thread-sanitizer, compiled with
#               Clang (installed with apt-get when missing); CPython's own suppressions
#               for it go to share/tsan/ in its prefix. Whatever is built to run in it
#               must be compiled with its compiler and -fsanitize=thread (scripts/tsan.sh)
#
#   scripts/pythons.sh [VERSION...]               provide them (default: all) and say where
#   scripts/pythons.sh run VERSION COMMAND [ARG...]
#                                                 run COMMAND with QUORPY_PYTHON naming that
#                                                 interpreter (see scripts/find-python.sh)
#
# `run` enters the chroot for all but 3.13t and 3.13t-tsan: a private mount namespace (so
# nothing stays mounted afterwards) with the source tree mounted at its own path, and a
# clean environment, so that none of the host's pip settings (certificates, find-links,
# constraint files) leaks in; QUORPY_* and PYTEST_* variables pass through.
#
# QUORPY_PYTHONS is the cache (default: ~/.cache/quorpy/pythons); QUORPY_DEBIAN_MIRROR the
# mirror (default: http://deb.debian.org/debian). The chroots need root and debootstrap
# (installed with apt-get when missing); the emulated ones also binfmt_misc (mounted when
# it is not), where qemu-user from Debian 13 (trixie, a static build), unpacked into
# the cache, is registered with the F flag so that it runs inside the chroot too. The
# source build needs a C compiler and the usual -dev packages (OpenSSL, libffi, zlib,
# bz2, lzma, sqlite3).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/scripts/debian.sh"  # MIRROR, debian_download
CACHE=${QUORPY_PYTHONS:-${XDG_CACHE_HOME:-$HOME/.cache}/quorpy/pythons}
QEMU=$CACHE/qemu
FT_VERSION=3.13.5
FT_TARBALL=python3.13_$FT_VERSION.orig.tar.xz
# From the Sources index of Debian 13 (trixie), which its signed Release file covers.
FT_SHA256=93e583f243454e6e9e4588ca2c2662206ad961659863277afcdb96801647d640
FT_PREFIX=$CACHE/cpython-${FT_VERSION}t
FT_TSAN_PREFIX=$CACHE/cpython-${FT_VERSION}t-tsan
ALL=(3.14 3.15 3.13t)
ON_DEMAND=(s390x aarch64 3.13t-tsan bullseye)
OLD_PREFIX=/opt/cpython-$FT_VERSION  # bullseye's CPython, inside its chroot

say() { echo "pythons: $*" >&2; }

interpreter() {  # interpreter VERSION: the command, as seen where `run` runs it
    case $1 in
    3.14 | 3.15) echo "/usr/bin/python$1" ;;
    3.13t) echo "$FT_PREFIX/bin/python3.13t" ;;
    3.13t-tsan) echo "$FT_TSAN_PREFIX/bin/python3.13t" ;;
    s390x | aarch64) echo /usr/bin/python3 ;;
    bullseye) echo "$OLD_PREFIX/bin/python3.13" ;;
    *)
        say "unknown interpreter '$1' (known: ${ALL[*]} ${ON_DEMAND[*]})"
        return 2
        ;;
    esac
}

# chroot_of VERSION: the chroot VERSION runs in, "host" (the machine's architecture),
# the architecture it emulates (as uname and qemu name it) or "bullseye"; nothing when it
# runs outside.
chroot_of() {
    case $1 in
    3.14 | 3.15) echo host ;;
    s390x | aarch64 | bullseye) echo "$1" ;;
    esac
}

# --- Debian unstable chroots ------------------------------------------------------------
# The machine's own architecture in $CACHE/sid, an emulated one in $CACHE/sid-ARCH; the
# Debian 11 one, of the machine's architecture, in $CACHE/bullseye.

sid_dir() {
    case $1 in
    host) echo "$CACHE/sid" ;;
    bullseye) echo "$CACHE/bullseye" ;;
    *) echo "$CACHE/sid-$1" ;;
    esac
}

sid_ready() { [ -f "$(sid_dir "$1")/.quorpy-ready" ]; }

# What a chroot holds besides the base system: the compilers, flock, its interpreters.
# NumPy publishes no s390x wheels: that venv sees Debian's python3-numpy instead.
sid_packages() {
    local common="ca-certificates g++ make util-linux"
    case $1 in
    host) echo "$common python3.14 python3.14-dev python3.14-venv python3.15 python3.15-dev python3.15-venv" ;;
    s390x) echo "$common python3 python3-dev python3-venv python3-numpy" ;;
    # What CPython's build needs (sqlite3 for mypy's cache), and the compilers the suite
    # builds its natives and includes the package's header with.
    bullseye) echo "ca-certificates g++ make util-linux xz-utils libssl-dev libffi-dev zlib1g-dev libbz2-dev liblzma-dev libsqlite3-dev" ;;
    *) echo "$common python3 python3-dev python3-venv" ;;
    esac
}

# sid_enter CHROOT COMMAND...: runs COMMAND inside that chroot as root, with a clean
# environment, in the current directory if it is in the source tree, else at the tree's top.
sid_enter() {
    local sid passed=() var cwd=$ROOT
    sid=$(sid_dir "$1")
    shift
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
    ' sid "$sid" "$ROOT" "$cwd" ${#passed[@]} ${passed[@]+"${passed[@]}"} "$@"
}

# provide_emulator ARCH: qemu's user-mode emulator of ARCH, registered with binfmt_misc
# under the F flag: the kernel opens it at once, so that it runs ARCH's programs inside a
# chroot that does not hold it. binfmt_misc forgets it at every boot; the cache keeps it.
provide_emulator() {
    local arch=$1 entry=quorpy-qemu-$1 misc=/proc/sys/fs/binfmt_misc
    [ "$arch" != "$(uname -m)" ] || return 0  # the machine runs it itself
    if [ ! -f "$QEMU/usr/share/qemu/binfmt.d/qemu-$arch.conf" ]; then
        say "unpacking qemu-user (Debian 13) into $QEMU"
        local debs
        debs=$(mktemp -d "$CACHE/debs.XXXXXX")
        (
            debian_download "$debs" "$(dpkg --print-architecture)" trixie qemu-user &&
                mkdir -p "$QEMU" && dpkg-deb --fsys-tarfile "$debs"/qemu-user_*.deb | tar -x -C "$QEMU" "./usr/bin/qemu-$arch" \
                "./usr/libexec/qemu-binfmt/$arch-binfmt-P" "./usr/share/qemu/binfmt.d/qemu-$arch.conf"
        ) || {
            rm -rf "$debs"
            return 1
        }
        rm -rf "$debs"
    fi
    [ -f "$misc/register" ] || mount -t binfmt_misc binfmt_misc "$misc"
    [ -e "$misc/$entry" ] && return
    # Debian's own rule for the architecture, with the emulator where it was unpacked.
    sed -e "s|^:qemu-$arch:|:$entry:|" -e "s|:/usr/libexec/|:$QEMU/usr/libexec/|" \
        "$QEMU/usr/share/qemu/binfmt.d/qemu-$arch.conf" >"$misc/register"
    grep -q '^flags:.*F' "$misc/$entry"
}

make_sid() {  # make_sid CHROOT
    local chroot=$1 sid log=$CACHE/debootstrap.log first=(--variant=minbase) suite=sid emulated=
    sid=$(sid_dir "$chroot")
    sid_ready "$chroot" && return
    if [ "$(id -u)" -ne 0 ]; then
        say "the Debian unstable chroot needs root (debootstrap, chroot, mount)"
        return 1
    fi
    if ! command -v debootstrap >/dev/null 2>&1; then
        say "installing debootstrap"
        apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
    fi
    if [ "$chroot" = host ]; then
        say "making a Debian unstable chroot in $sid (about 3 minutes)"
    elif [ "$chroot" = bullseye ]; then
        say "making a Debian 11 chroot in $sid (about 3 minutes)"
        log=$CACHE/debootstrap-$chroot.log suite=bullseye
    else
        say "making a Debian unstable $chroot chroot in $sid, emulated (about 5 minutes)"
        log=$CACHE/debootstrap-$chroot.log emulated=1
        # Unpacked from here; its packages are then set up inside, by the emulator.
        first+=(--foreign --arch="$([ "$chroot" = aarch64 ] && echo arm64 || echo "$chroot")")
    fi
    rm -rf "$sid"
    mkdir -p "$sid"
    {
        debootstrap "${first[@]}" "$suite" "$sid" "$MIRROR" &&
            if [ -n "$emulated" ]; then sid_enter "$chroot" /debootstrap/debootstrap --second-stage; fi
    } >"$log" 2>&1 || {
        tail -n 20 "$log" >&2
        return 1
    }
    # The mirror's Release file may be past its Valid-Until date: a frozen snapshot.
    echo 'Acquire::Check-Valid-Until "false";' >"$sid/etc/apt/apt.conf.d/99quorpy"
    cp /etc/resolv.conf "$sid/etc/resolv.conf"
    local packages
    read -r -a packages <<<"$(sid_packages "$chroot")"
    sid_enter "$chroot" /bin/sh -c '
        apt-get update -qq &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" >/dev/null &&
        apt-get clean' sh "${packages[@]}"
    # The host's CA bundle, for hosts whose HTTPS goes through their own authority.
    cp /etc/ssl/certs/ca-certificates.crt "$sid/etc/ssl/certs/ca-certificates.crt"
    touch "$sid/.quorpy-ready"
}

# --- free-threaded CPython from source ---------------------------------------------------

fetch_source() {  # the source tarball, checked, in $CACHE/src
    local src=$CACHE/src
    mkdir -p "$src"
    if ! echo "$FT_SHA256  $src/$FT_TARBALL" | sha256sum --check --status 2>/dev/null; then
        say "downloading $FT_TARBALL"
        curl -fsSL -o "$src/$FT_TARBALL" "$MIRROR/pool/main/p/python3.13/$FT_TARBALL"
        echo "$FT_SHA256  $src/$FT_TARBALL" | sha256sum --check --quiet
    fi
}

# make_freethreaded PREFIX [CONFIGURE_ARG...]: builds the tarball with --disable-gil and
# the arguments given (variables such as CC=clang among them) into PREFIX.
make_freethreaded() {
    local prefix=$1 src=$CACHE/src build
    shift
    [ -x "$prefix/bin/python3.13t" ] && return
    fetch_source
    build=$(mktemp -d "$CACHE/build.XXXXXX")
    say "building CPython ${FT_VERSION}t${*:+ ($*)} into $prefix (about 6 minutes; log: $build/build.log)"
    (
        cd "$build"
        tar -xf "$src/$FT_TARBALL" --strip-components=1
        ./configure --disable-gil --prefix="$prefix" --with-ensurepip=install "$@"
        make -j"$(nproc)"
        make install
    ) >"$build/build.log" 2>&1 || {
        tail -n 30 "$build/build.log" >&2
        return 1
    }
    rm -rf "$build"
}

# --- CPython 3.13 built in the Debian 11 chroot -------------------------------------------

make_bullseye() {
    local dir
    dir=$(sid_dir bullseye)
    make_sid bullseye
    # OpenSSL's default CA file, which Debian 11's minimal system lacks (later releases'
    # openssl package links it): without it the CA bundle copied in goes unread.
    ln -sf /etc/ssl/certs/ca-certificates.crt "$dir/usr/lib/ssl/cert.pem"
    [ -x "$dir$OLD_PREFIX/bin/python3.13" ] && return
    fetch_source
    say "building CPython $FT_VERSION in the Debian 11 chroot (about 6 minutes; log: $dir/tmp/build.log)"
    rm -rf "$dir/tmp/build"
    mkdir -p "$dir/tmp/build"
    cp "$CACHE/src/$FT_TARBALL" "$dir/tmp/"
    sid_enter bullseye /bin/bash -euo pipefail -c '
        cd /tmp/build
        tar -xf "/tmp/$1" --strip-components=1
        ./configure --prefix="$2" --with-ensurepip=install
        make -j"$(nproc)"
        make install' bash "$FT_TARBALL" "$OLD_PREFIX" >"$dir/tmp/build.log" 2>&1 || {
        tail -n 30 "$dir/tmp/build.log" >&2
        return 1
    }
    rm -rf "$dir/tmp/build" "$dir/tmp/$FT_TARBALL"
}

# CPython's ThreadSanitizer build is tested with Clang. Its runtime is linked into the
# interpreter, and the extensions loaded into it find it there. The build runs the new
# interpreter (ensurepip among others): what TSan would say there is not checked here,
# and a report would fail the step, so it reports nothing.
make_freethreaded_tsan() {
    local suppressions=$FT_TSAN_PREFIX/share/tsan/suppressions_free_threading.txt
    [ -x "$FT_TSAN_PREFIX/bin/python3.13t" ] && [ -f "$suppressions" ] && return
    if ! command -v clang >/dev/null 2>&1; then
        say "installing clang"
        apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang >/dev/null
    fi
    TSAN_OPTIONS=report_bugs=0 make_freethreaded "$FT_TSAN_PREFIX" --with-thread-sanitizer CC=clang CXX=clang++
    mkdir -p "$(dirname "$suppressions")"
    tar -xOf "$CACHE/src/$FT_TARBALL" "Python-$FT_VERSION/Tools/tsan/${suppressions##*/}" >"$suppressions"
}

# --- commands ---------------------------------------------------------------------------

provide() {
    mkdir -p "$CACHE"
    exec 8>"$CACHE/.lock"
    flock 8
    local v
    for v in "$@"; do
        interpreter "$v" >/dev/null
        case $(chroot_of "$v") in
        "") if [ "$v" = 3.13t-tsan ]; then make_freethreaded_tsan; else make_freethreaded "$FT_PREFIX"; fi ;;
        host) make_sid host ;;
        bullseye) make_bullseye ;;
        *)
            provide_emulator "$v"
            make_sid "$v"
            ;;
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
    chroot=$(chroot_of "$version")
    # Debian's NumPy, where the chroot holds it (see sid_packages).
    if [ -n "$chroot" ] && [[ " $(sid_packages "$chroot") " == *" python3-numpy "* ]]; then
        export QUORPY_SYSTEM_SITE_PACKAGES=1
    fi
    if [ -n "$chroot" ]; then
        QUORPY_PYTHON=$py sid_enter "$chroot" "$@"
    else
        QUORPY_PYTHON=$py "$@"
    fi
    exit
fi

[ $# -gt 0 ] || set -- "${ALL[@]}"
provide "$@"
for v in "$@"; do
    chroot=$(chroot_of "$v")
    if [ -n "$chroot" ]; then
        echo "$v  $(sid_enter "$chroot" "$(interpreter "$v")" -VV | head -n 1)  (in $(sid_dir "$chroot"))"
    else
        echo "$v  $("$(interpreter "$v")" -VV | head -n 1)  ($(interpreter "$v"))"
    fi
done
