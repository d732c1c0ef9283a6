#!/usr/bin/env bash
# Installs with apt-get what scripts/test.sh needs and the machine lacks.
#   scripts/install-deps.sh              compilers, CMake, GoogleTest, mingw-w64,
#                                        wine (wine32 too where it can run), tools
#   scripts/install-deps.sh reliability  valgrind, clang with libFuzzer
# A package index that fails to download is not fatal: the lists already on
# the machine may do. Only a needed package that then cannot be installed is,
# and the message names it. wine32 is optional; when it cannot be installed,
# an i386 architecture added for it is removed again. Every apt step is
# bounded in time.
set -euo pipefail
cd "$(dirname "$0")/.."

update_timeout=${APT_UPDATE_TIMEOUT:-300}
install_timeout=${APT_INSTALL_TIMEOUT:-900}
export DEBIAN_FRONTEND=noninteractive
# Wait a while for another apt or dpkg to finish rather than fail at once.
apt_opts=(-o DPkg::Lock::Timeout=120)

apt_err=$(mktemp)
added_i386=
lists_dir=
i386_lists_before=
update_failed=

cleanup() {
    # Interrupted between adding i386 and installing wine32: take it away again.
    installed wine32:i386 || drop_i386
    rm -f "$apt_err"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q ' installed$'
}

# apt-get, bounded in time, without stdin; its errors are shown and kept.
run_apt() { # seconds, apt-get arguments...
    local seconds=$1 rc=0
    shift
    timeout --kill-after=30 "$seconds" apt-get "${apt_opts[@]}" "$@" \
        </dev/null >/dev/null 2>"$apt_err" || rc=$?
    cat "$apt_err" >&2
    return "$rc"
}

# Why the last run_apt failed, in one line.
reason() { # exit status, seconds allowed
    if [ "$1" -eq 124 ] || [ "$1" -eq 137 ]; then
        echo "apt-get did not finish within $2 s"
        return
    fi
    local errors
    errors=$(grep '^E:' "$apt_err" | head -3 | sed 's/^E: *//' | paste -sd ';' - || true)
    echo "${errors:-apt-get exited with status $1}"
}

apt_update() {
    local rc=0
    run_apt "$update_timeout" update -qq || rc=$?
    if [ "$rc" -ne 0 ]; then
        local why="exit status $rc"
        [ "$rc" -ne 124 ] && [ "$rc" -ne 137 ] || why=$(reason "$rc" "$update_timeout")
        echo "apt-get update failed ($why); going on with the package lists already there" >&2
        update_failed=" (after a failed apt-get update)"
    fi
}

# Installs every package given, or exits naming those that cannot be had.
install_needed() { # packages...
    echo "Installing: $*"
    apt_update
    local rc=0
    run_apt "$install_timeout" install -y -qq "$@" && return 0 || rc=$?
    local failed=() p
    if [ "$rc" -eq 124 ] || [ "$rc" -eq 137 ]; then
        for p in "$@"; do
            installed "$p" || failed+=("$p ($(reason "$rc" "$install_timeout"))")
        done
    else
        # One at a time, so that one package that cannot be had keeps no other
        # out and the message names the one.
        for p in "$@"; do
            installed "$p" && continue
            rc=0
            run_apt "$install_timeout" install -y -qq "$p" || rc=$?
            [ "$rc" -eq 0 ] || failed+=("$p ($(reason "$rc" "$install_timeout"))")
        done
    fi
    [ ${#failed[@]} -eq 0 ] && return 0
    for p in "${failed[@]}"; do
        echo "cannot install $p$update_failed" >&2
    done
    echo "The tests need these packages: install them (or mend the package sources) and run again." >&2
    exit 1
}

# Removes the i386 architecture if this script added it, with whatever i386
# packages a broken install left (there were none before it was added) and
# the i386 package lists fetched for it.
drop_i386() {
    [ -n "$added_i386" ] || return 0
    added_i386=
    local left
    left=$(dpkg-query -W -f='${Package}:${Architecture} ${db:Status-Abbrev}\n' 2>/dev/null |
        awk '$1 ~ /:i386$/ && $2 !~ /^un/ { print $1 }')
    if [ -n "$left" ]; then
        # shellcheck disable=SC2086
        timeout 300 dpkg --purge $left >/dev/null </dev/null || true
    fi
    timeout 60 dpkg --remove-architecture i386 ||
        echo "could not remove the i386 architecture again: run dpkg --remove-architecture i386" >&2
    local f
    for f in "$lists_dir"*_binary-i386_* "$lists_dir"partial/*_binary-i386_*; do
        [ -e "$f" ] || continue
        grep -qxF -- "$f" <<<"$i386_lists_before" || rm -f -- "$f"
    done
}

# 32-bit wine, for running the i686 build too: needs the i386 architecture
# and a kernel that runs 32-bit programs at all. Some machines have none, and
# there wine32 would only break wine for the 64-bit build too. Not fatal:
# without it the wine test runs the x86_64 build only.
install_wine32() {
    [ "$(dpkg --print-architecture 2>/dev/null)" = amd64 ] || return 0
    installed wine32:i386 && { install_multilib; return 0; }
    local no32
    if ! no32=$(python3 tests/wine/can_run_32bit.py 2>&1); then
        echo "wine32 not installed, so the i686 build will not run under wine: $no32"
        return 0
    fi
    echo "Installing: wine32:i386"
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        eval "$(apt-config shell lists_dir Dir::State::lists/d)"
        [ -n "$lists_dir" ] || lists_dir=/var/lib/apt/lists/
        i386_lists_before=$(ls -d -- "$lists_dir"*_binary-i386_* "$lists_dir"partial/*_binary-i386_* 2>/dev/null || true)
        if ! timeout 60 dpkg --add-architecture i386; then
            echo "wine32 not installed, so the i686 build will not run under wine: the i386 architecture could not be added"
            return 0
        fi
        added_i386=1
    fi
    apt_update
    local rc=0
    run_apt "$install_timeout" install -y -qq wine32:i386 || rc=$?
    if [ "$rc" -eq 0 ]; then
        added_i386=
        install_multilib
        return 0
    fi
    local why
    why=$(reason "$rc" "$install_timeout")
    drop_i386
    echo "wine32 could not be installed, so the i686 build will not run under wine: $why$update_failed"
}

# The wine test builds its modem-lines instrument 32-bit for the 32-bit wine
# that runs the i686 build (gcc -m32). An amd64 package: no i386 lists. Not
# fatal: without it those cases say why they are not run.
install_multilib() {
    installed gcc-multilib && return 0
    echo "Installing: gcc-multilib"
    local rc=0
    run_apt "$install_timeout" install -y -qq gcc-multilib || rc=$?
    [ "$rc" -eq 0 ] ||
        echo "gcc-multilib could not be installed, so the i686 wine run leaves out its modem-lines cases: $(reason "$rc" "$install_timeout")"
}

build_deps() {
    local missing=()
    command -v cmake >/dev/null || missing+=(cmake)
    command -v g++ >/dev/null || missing+=(g++)
    [ -e /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev libgmock-dev)
    command -v x86_64-w64-mingw32-g++ >/dev/null || missing+=(g++-mingw-w64-x86-64)
    command -v i686-w64-mingw32-g++ >/dev/null || missing+=(g++-mingw-w64-i686)
    command -v python3 >/dev/null || missing+=(python3)
    command -v wine >/dev/null || missing+=(wine wine64)
    # The install and package test: manual page lint, .deb dependencies.
    command -v groff >/dev/null || missing+=(groff)
    command -v mandoc >/dev/null || missing+=(mandoc)
    command -v dpkg-shlibdeps >/dev/null || missing+=(dpkg-dev)
    command -v file >/dev/null || missing+=(file)
    # The remote-port tests run against ser2net.
    [ -x /usr/sbin/ser2net ] || missing+=(ser2net)
    # The file-transfer tests run against lrzsz.
    command -v sx >/dev/null || missing+=(lrzsz)
    [ ${#missing[@]} -eq 0 ] || install_needed "${missing[@]}"
    install_wine32
}

# The reliability run: sessions under valgrind, libFuzzer targets.
reliability_deps() {
    local extra=() probe
    command -v valgrind >/dev/null || extra+=(valgrind)
    probe=$(mktemp -d)
    echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' |
        timeout 120 clang++ -fsanitize=fuzzer,address,undefined -x c++ - -o "$probe/fuzz" 2>/dev/null ||
        extra+=(clang libclang-rt-dev)
    rm -rf "$probe"
    [ ${#extra[@]} -eq 0 ] || install_needed "${extra[@]}"
}

case "${1:-build}" in
build) build_deps ;;
reliability) reliability_deps ;;
*)
    echo "usage: $0 [build|reliability]" >&2
    exit 2
    ;;
esac
