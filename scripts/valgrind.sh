#!/usr/bin/env bash
# Runs the release binary end to end under valgrind's memcheck (encryption,
# decryption, a refused decryption, /MK) and fails on any memory error or
# definite leak; then checks that the binary is hardened: position-independent,
# with relocations read-only and bound at start.
# Usage: scripts/valgrind.sh [path/to/cipher]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
cipher="${1:-$here/build/cipher}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

memcheck() {
    local expected="$1"
    shift
    local status=0
    valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
        --errors-for-leak-kinds=definite --quiet --log-file="$work/valgrind.log" \
        "$cipher" "$@" >"$work/trace" 2>&1 || status=$?
    if [ "$status" -ne "$expected" ]; then
        echo "valgrind: cipher $* ended with $status, expected $expected" >&2
        cat "$work/valgrind.log" >&2
        tail -n 5 "$work/trace" >&2
        exit 1
    fi
}

head -c 3000000 /dev/urandom >"$work/plain"
cp "$work/plain" "$work/original"
memcheck 0 /B /P "valgrind pw" "$work/plain"
memcheck 0 /B /P "valgrind pw" "$work/plain.cphr" "$work/back"
cmp "$work/original" "$work/back"
memcheck 3 /B /P "wrong pw" "$work/plain.cphr" "$work/refused"
memcheck 0 /B /R /P "valgrind pw" /PE 41 10 "$work/plain"
memcheck 0 /B /R /P "valgrind pw" /PE 41 10 "$work/plain.cphr"
cmp "$work/original" "$work/plain"
memcheck 0 /MK
echo "valgrind: 6 runs clean"

# Hardening of the binary.
headers="$(readelf -W -l -d "$cipher")"
grep -q 'Type:.*DYN' <(readelf -W -h "$cipher") || { echo "hardening: not position-independent" >&2; exit 1; }
grep -q 'GNU_RELRO' <<<"$headers" || { echo "hardening: no GNU_RELRO segment" >&2; exit 1; }
grep -Eq '\(BIND_NOW\)|\(FLAGS\).*BIND_NOW|FLAGS_1.*NOW' <<<"$headers" || { echo "hardening: no BIND_NOW" >&2; exit 1; }
grep -q 'PIE' <<<"$headers" || { echo "hardening: not flagged PIE" >&2; exit 1; }
echo "hardening: PIE, GNU_RELRO, BIND_NOW"
