#!/usr/bin/env bash
# Checks the install rules and packages from the outside: installs the built
# programs into a staging folder, runs the installed programs' usage texts,
# lints the manual pages with groff and mandoc, builds the .deb and reads it
# back (files, control fields, the program run from the unpacked package),
# and builds the .zip of each mingw-w64 build that exists beside BUILD_DIR.
# Everything happens in a scratch folder; no port is opened.
# Usage: check_install.sh BUILD_DIR VERSION SOURCE_DIR
# Exit status: 0 all right, 1 a fault found, 77 a tool is missing (the
# checks that need it are left out, all the others still run).
set -uo pipefail
build=$(cd "$1" && pwd) version=$2 source=$(cd "$3" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
faults=0
missing=()
fail() { echo "FAIL: $*"; faults=$((faults + 1)); }
have() { command -v "$1" >/dev/null && return 0; missing+=("$1"); return 1; }

# Runs a program without arguments: usage text and exit status 1. It opens
# no port then; COM1 is mapped to the loopback port all the same.
usage_line=$(printf 'DORVALIX v%s%38sSerial line monitor\r' "$version" '')
check_usage() {
    local out status
    out=$(DORVALIX_COM1=loop timeout 10 "$1" </dev/null)
    status=$?
    [ "$status" = 1 ] || fail "$1: exit status $status after the usage text, not 1"
    [ "$(head -n1 <<<"$out")" = "$usage_line" ] || fail "$1: first line '$(head -n1 <<<"$out")'"
}

# dorvalix-ports: its usage text with /? (exit status 0), and an unknown
# option (exit status 1, the usage on standard error). Neither scans.
ports_usage=$(printf 'DORVALIX-PORTS v%s  Lists the serial ports and who holds them' "$version")
check_ports_usage() {
    local out status
    out=$(timeout 10 "$1" '/?' </dev/null)
    status=$?
    [ "$status" = 0 ] || fail "$1 /?: exit status $status, not 0"
    [ "$(head -n1 <<<"$out" | tr -d '\r')" = "$ports_usage" ] || fail "$1 /?: first line '$(head -n1 <<<"$out")'"
    out=$(timeout 10 "$1" /no-such-option 2>&1 >/dev/null </dev/null)
    status=$?
    [ "$status" = 1 ] || fail "$1 /no-such-option: exit status $status, not 1"
    grep -q 'unknown option /no-such-option' <<<"$out" || fail "$1 /no-such-option: '$out'"
}

# The files under a folder, relative to it, sorted.
files_in() { (cd "$1" && find . -type f | sed 's|^\./||' | LC_ALL=C sort); }

# 1. Staged install: exactly the programs, their manual pages (compressed
# when the build found gzip) and the README.
gz=
[ -f "$build/dorvalix.1.gz" ] && gz=.gz
stage=$scratch/stage
cmake --install "$build" --prefix "$stage" >/dev/null || fail "cmake --install"
expected=$(printf '%s\n' bin/dorvalix bin/dorvalix-ports share/doc/dorvalix/README.md \
    "share/man/man1/dorvalix-ports.1$gz" "share/man/man1/dorvalix.1$gz")
[ "$(files_in "$stage")" = "$expected" ] || fail "installed files:"$'\n'"$(files_in "$stage")"
check_usage "$stage/bin/dorvalix"
check_ports_usage "$stage/bin/dorvalix-ports"

# 2. The manual pages: nothing to report from either formatter.
for name in dorvalix dorvalix-ports; do
    man=share/man/man1/$name.1$gz
    page=$scratch/$name.1
    case $man in
        *.gz) gzip -dc "$stage/$man" >"$page" || fail "$man is not gzip data" ;;
        *) cp "$stage/$man" "$page" ;;
    esac
    title=$(tr '[:lower:]' '[:upper:]' <<<"$name")
    grep -q "^\.TH $title 1 .*\"dorvalix $version\"" "$page" || fail "$name.1: title line lacks the version"
    if have groff; then
        report=$(groff -man -ww -z "$page" 2>&1) && [ -z "$report" ] || fail "$name.1: groff -man -ww: $report"
    fi
    if have mandoc; then
        report=$(mandoc -T lint -W style "$page" 2>&1) && [ -z "$report" ] || fail "$name.1: mandoc -T lint: $report"
    fi
done

# 3. The .deb, made by CPack with its dependencies from dpkg-shlibdeps.
if have dpkg-deb && have dpkg-shlibdeps && have file; then
    deb=$scratch/deb
    package=$deb/dorvalix_${version}_$(dpkg --print-architecture).deb
    if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$deb" >"$scratch/cpack.log" 2>&1 ||
            [ ! -f "$package" ]; then
        fail "cpack -G DEB made no $(basename "$package"):"$'\n'"$(cat "$scratch/cpack.log")"
    else
        listing=$(dpkg-deb -c "$package")
        contents=$(awk '$1 !~ /^d/ {print $NF}' <<<"$listing" | sed 's|^\./||' | LC_ALL=C sort)
        [ "$contents" = "$(sed 's|^|usr/|' <<<"$expected")" ] || fail "files in the .deb:"$'\n'"$contents"
        grep -Ei 'test|bench|fuzz' <<<"$listing" && fail "a test program is in the .deb"
        field() { dpkg-deb -f "$package" "$1"; }
        [ "$(field Package)" = dorvalix ] || fail "Package: $(field Package)"
        [ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
        [ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture: $(field Architecture)"
        [ "$(field Section)" = comm ] || fail "Section: $(field Section)"
        grep -Eq '^[^<]+ <[^>]+@[^>]+>$' <<<"$(field Maintainer)" || fail "Maintainer: $(field Maintainer)"
        grep -Eq '(^|, )libc6 \(>= [0-9.]+\)' <<<"$(field Depends)" || fail "Depends not from shlibdeps: $(field Depends)"
        # The program is plain C++ over libc: no C++ runtime to load (it
        # costs a session over a megabyte of memory). A sanitizer build's
        # runtime brings its own.
        depends=$(field Depends)
        if ! grep -q 'libasan' <<<"$depends" && grep -q 'libstdc++' <<<"$depends"; then
            fail "the program needs the C++ runtime: $depends"
        fi
        [ "$(field Description | wc -l)" -ge 3 ] || fail "Description: no long description"
        info=$(dpkg-deb -I "$package")
        grep -q '^ Installed-Size: [1-9]' <<<"$info" || fail "no Installed-Size"
        unpacked=$scratch/unpacked
        dpkg-deb -x "$package" "$unpacked" || fail "dpkg-deb -x"
        for program in dorvalix dorvalix-ports; do
            kind=$(file -b "$unpacked/usr/bin/$program")
            grep -q ', stripped' <<<"$kind" || fail "$program in the .deb is not stripped: $kind"
        done
        check_usage "$unpacked/usr/bin/dorvalix"
        check_ports_usage "$unpacked/usr/bin/dorvalix-ports"
    fi
fi

# 4. The Windows .zip of each mingw-w64 build there is: one folder holding
# dorvalix.exe and dorvalix-ports.exe for that target and a README.txt with
# CRLF lines.
for target in x86_64:win64:'PE32+ executable' i686:win32:'PE32 executable'; do
    IFS=: read -r cpu system kind <<<"$target"
    dir=$source/build-$cpu-w64-mingw32
    [ -f "$dir/CPackConfig.cmake" ] && [ -f "$dir/dorvalix.exe" ] && [ -f "$dir/dorvalix-ports.exe" ] || { echo "no $cpu mingw-w64 build: its .zip is not checked"; continue; }
    have file || break
    zip=$scratch/zip-$cpu
    if ! cpack --config "$dir/CPackConfig.cmake" -G ZIP -B "$zip" >"$scratch/cpack-$cpu.log" 2>&1; then
        fail "cpack -G ZIP ($cpu):"$'\n'"$(cat "$scratch/cpack-$cpu.log")"
        continue
    fi
    name=dorvalix-$version-$system
    mkdir "$zip/x"
    (cd "$zip/x" && cmake -E tar xf "$zip/$name.zip") || { fail "$name.zip missing or unreadable"; continue; }
    [ "$(files_in "$zip/x")" = "$(printf '%s\n' "$name/README.txt" "$name/dorvalix-ports.exe" "$name/dorvalix.exe")" ] ||
        fail "files in $name.zip:"$'\n'"$(files_in "$zip/x")"
    for program in dorvalix dorvalix-ports; do
        exe=$(file -b "$zip/x/$name/$program.exe")
        grep -q "^$kind .*stripped" <<<"$exe" || fail "$name.zip: $program.exe is $exe"
    done
    grep -q 'CRLF line terminators' <<<"$(file -b "$zip/x/$name/README.txt")" || fail "$name.zip: README.txt not CRLF"
done

if [ "$faults" -gt 0 ]; then
    echo "$faults fault(s)"
    exit 1
fi
if [ ${#missing[@]} -gt 0 ]; then
    echo "SKIPPED in part, not installed: ${missing[*]}"
    exit 77
fi
echo "install, manual page, .deb and .zip: all right"
