#!/usr/bin/env bash
# Defines MIRROR, the Debian mirror ($QUORPY_DEBIAN_MIRROR, default
# http://deb.debian.org/debian), and debian_download, which fetches packages of any
# architecture from it without changing the machine's own apt sources or lists. Sourced
# by scripts/pythons.sh and scripts/wheel.sh.
MIRROR=${QUORPY_DEBIAN_MIRROR:-http://deb.debian.org/debian}

# debian_download DIR ARCH SUITES PACKAGE...: the .deb files of PACKAGE... (or
# PACKAGE/SUITE, PACKAGE=VERSION) for Debian architecture ARCH (amd64, arm64...) from the
# SUITES named (a space-separated list) into DIR. apt-get works in a private state, which
# it checks against the archive's signature as usual; a suite's Release file may be past
# its Valid-Until date (a frozen snapshot).
debian_download() {
    local dir=$1 arch=$2 suites=$3 apt suite status=0
    shift 3
    apt=$(mktemp -d)
    mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/parts"
    for suite in $suites; do echo "deb $MIRROR $suite main"; done >"$apt/sources.list"
    local opts=(-qq -o Dir::Etc::SourceList="$apt/sources.list" -o Dir::Etc::SourceParts="$apt/parts"
        -o Dir::State::Lists="$apt/lists" -o Dir::Cache="$apt/cache" -o APT::Sandbox::User=root
        -o Acquire::Check-Valid-Until=false -o APT::Architecture="$arch" -o APT::Architectures="$arch")
    (cd "$dir" && apt-get "${opts[@]}" update && apt-get "${opts[@]}" download "$@") || status=$?
    rm -rf "$apt"
    return "$status"
}
