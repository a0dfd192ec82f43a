#!/usr/bin/env bash
# Whole-program timing of cipher against the public tools, in one run.
#
#   bench/run.sh [-s MiB] [-r rounds] [-d dir] [--big]
#
#   -s MiB     size of the random test file (default 1024, i.e. 1 GiB)
#   -r rounds  timed repetitions of every command (default 3); medians reported
#   -d dir     where the test files go (default /tmp/cipher-bench); needs about
#              five times the file size free (twenty with --big)
#   --big      also encrypt and decrypt a 5 GiB file once, to show that peak
#              memory does not grow with the file
#
# Every round runs the commands one after another, alternating the tools, so
# that a change in the machine's load hits all of them alike; compare only the
# ratios of one run. The commands:
#   cipher /B /S /P <raw key> file           encrypt, and decrypt the result
#   openssl enc -camellia-256-cbc -K -iv     encrypt and decrypt (no KDF)
#   gpg -c --cipher-algo CAMELLIA256 -z 0    encrypt and decrypt (batch, loopback)
#   cipher /PE 00 30 on an empty file        key derivation over 2^30 bytes
#   openssl dgst -sha512 of a 1 GiB file     hashing as much data directly
# Elapsed time and peak resident memory come from GNU time (/usr/bin/time).
# The script checks that every round trip gives the file back.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
. "$here/scripts/deps.sh"
cipher_need_packages time openssl gnupg

size_mib=1024
rounds=3
dir=/tmp/cipher-bench
big=0
while [ $# -gt 0 ]; do
    case "$1" in
        -s) size_mib="$2"; shift 2 ;;
        -r) rounds="$2"; shift 2 ;;
        -d) dir="$2"; shift 2 ;;
        --big) big=1; shift ;;
        *) sed -n '2,12p' "$0" >&2; exit 2 ;;
    esac
done

cipher="${CIPHER:-$here/build/cipher}"
if [ ! -x "$cipher" ]; then
    cmake -S "$here" -B "$here/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$here/build" -j2 --target cipher
fi

mkdir -p "$dir"
export GNUPGHOME="$dir/gnupg"
mkdir -p "$GNUPGHOME" && chmod 700 "$GNUPGHOME"
trap 'rm -rf "$dir"' EXIT

key=$(openssl rand -hex 64)       # cipher's raw key: 128 hex digits
okey=$(openssl rand -hex 32)      # openssl's 256-bit key
oiv=$(openssl rand -hex 16)
pass=benchpass
gpg_opts=(--batch --yes --quiet --pinentry-mode loopback --passphrase "$pass")

plain="$dir/plain.bin"
echo "making $size_mib MiB of random data in $plain"
openssl rand -out "$plain" $((size_mib * 1048576))
: > "$dir/empty.txt"
# /PE 00 30 hashes 2^30 bytes: it is compared with hashing a 1 GiB file.
hashed="$plain"
if [ "$size_mib" != 1024 ]; then
    hashed="$dir/gib.bin"
    openssl rand -out "$hashed" 1073741824
fi

# time_cmd NAME CMD...: runs CMD under GNU time, appends "seconds kib" to
# $dir/NAME.times.
time_cmd() {
    local name="$1"
    shift
    /usr/bin/time -f '%e %M' -o "$dir/time.out" "$@" >/dev/null
    cat "$dir/time.out" >> "$dir/$name.times"
}

run_round() {
    rm -f "$dir/c.cphr" "$dir/c.out" "$dir/o.enc" "$dir/o.out" "$dir/g.gpg" "$dir/g.out"
    time_cmd cipher_enc "$cipher" /B /S /P "$key" "$plain" "$dir/c.cphr"
    time_cmd openssl_enc openssl enc -camellia-256-cbc -K "$okey" -iv "$oiv" -in "$plain" -out "$dir/o.enc"
    time_cmd gpg_enc gpg "${gpg_opts[@]}" -c --cipher-algo CAMELLIA256 -z 0 -o "$dir/g.gpg" "$plain"
    time_cmd cipher_dec "$cipher" /B /S /P "$key" "$dir/c.cphr" "$dir/c.out"
    time_cmd openssl_dec openssl enc -d -camellia-256-cbc -K "$okey" -iv "$oiv" -in "$dir/o.enc" -out "$dir/o.out"
    time_cmd gpg_dec gpg "${gpg_opts[@]}" -d -o "$dir/g.out" "$dir/g.gpg"
    rm -f "$dir/e.cphr"
    time_cmd cipher_pe "$cipher" /B /S /P "$pass" /PE 00 30 "$dir/empty.txt" "$dir/e.cphr"
    time_cmd openssl_sha openssl dgst -sha512 "$hashed"
    cmp "$plain" "$dir/c.out"
    cmp "$plain" "$dir/o.out"
    cmp "$plain" "$dir/g.out"
}

median() {  # median of column $2 of file $1
    awk -v c="$2" '{print $c}' "$1" | sort -g | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'
}
peak() {  # largest column 2 of file $1, in MiB
    awk '$2>m {m=$2} END {printf "%.1f", m/1024}' "$1"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a/b}'; }

rm -f "$dir"/*.times
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
for ((r = 1; r <= rounds; r++)); do
    echo "round $r of $rounds"
    run_round
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

for t in cipher_enc openssl_enc gpg_enc cipher_dec openssl_dec gpg_dec cipher_pe openssl_sha; do
    eval "m_$t=$(median "$dir/$t.times" 1)"
done

echo
echo "machine: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores; load average before $load_before, after $load_after"
echo "file: $size_mib MiB random; $rounds rounds; medians of elapsed seconds"
echo
printf '%-44s %8s\n' "ratio" "value"
printf '%-44s %8s\n' "cipher encrypt / openssl enc" "$(ratio "$m_cipher_enc" "$m_openssl_enc")"
printf '%-44s %8s\n' "cipher encrypt / gpg -c" "$(ratio "$m_cipher_enc" "$m_gpg_enc")"
printf '%-44s %8s\n' "cipher decrypt / openssl enc -d" "$(ratio "$m_cipher_dec" "$m_openssl_dec")"
printf '%-44s %8s\n' "cipher decrypt / gpg -d" "$(ratio "$m_cipher_dec" "$m_gpg_dec")"
printf '%-44s %8s\n' "cipher /PE 00 30 / openssl dgst -sha512" "$(ratio "$m_cipher_pe" "$m_openssl_sha")"
echo
printf '%-26s %10s %14s\n' "command" "median s" "peak MiB"
for t in cipher_enc openssl_enc gpg_enc cipher_dec openssl_dec gpg_dec cipher_pe openssl_sha; do
    eval "m=\$m_$t"
    printf '%-26s %10s %14s\n' "$t" "$m" "$(peak "$dir/$t.times")"
done

if [ "$big" = 1 ]; then
    echo
    echo "5 GiB memory check"
    openssl rand -out "$dir/big.bin" $((5 * 1073741824))
    rm -f "$plain" "$dir"/*.enc "$dir"/*.out "$dir"/*.gpg "$dir/c.cphr"
    : > "$dir/big.times"
    /usr/bin/time -f '%e %M' -o "$dir/time.out" "$cipher" /B /S /P "$key" "$dir/big.bin" "$dir/big.cphr"
    echo "cipher encrypt 5 GiB: $(awk '{printf "%s s, peak %.1f MiB", $1, $2/1024}' "$dir/time.out")"
    /usr/bin/time -f '%e %M' -o "$dir/time.out" "$cipher" /B /S /P "$key" "$dir/big.cphr" "$dir/big.out"
    echo "cipher decrypt 5 GiB: $(awk '{printf "%s s, peak %.1f MiB", $1, $2/1024}' "$dir/time.out")"
    cmp "$dir/big.bin" "$dir/big.out"
fi
