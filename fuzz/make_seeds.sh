#!/usr/bin/env bash
# Writes the seed corpora of the fuzz targets into fuzz/corpus/. The decrypt
# seeds hold containers made by the cipher binary given as $1 with the fixed
# key of fuzz/decrypt_fuzz.cpp; each seed starts with the target's option byte.
set -euo pipefail
cipher="$(realpath "$1")"
here="$(cd "$(dirname "$0")" && pwd)"
key=000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f202122232425262728292a2b2c2d2e2f303132333435363738393a3b3c3d3e3f
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

decrypt="$here/corpus/decrypt_fuzz"
driver="$here/corpus/driver_fuzz"
rm -rf "$decrypt" "$driver"
mkdir -p "$decrypt" "$driver"

# Containers made by the binary: "hello", an empty file, 300 bytes.
printf 'hello\n' > "$work/hello"
: > "$work/empty"
head -c 300 /dev/zero | tr '\0' 'z' > "$work/long"
for name in hello empty long; do
    "$cipher" /S /B /P "$key" "$work/$name"
done
{ printf '\000'; cat "$work/hello.cphr"; } > "$decrypt/raw-hello"
{ printf '\000'; cat "$work/empty.cphr"; } > "$decrypt/raw-empty"
{ printf '\002'; cat "$work/long.cphr"; } > "$decrypt/raw-long-move"
{ printf '\001'; cat "$work/hello.cphr"; head -c 64 /dev/zero; } > "$decrypt/raw-hello-trailer"
# Sealed: no mutation; a changed byte with trailers on both sides.
{ printf '\004\000\000\000\000\007\000'; printf 'plain text\n'; } > "$decrypt/sealed-plain"
{ printf '\007\001\020\000\125\003\001'; cat "$work/long"; } > "$decrypt/sealed-flip-move"
# Forged: a 96-byte body whose padding byte (offset 31) says 10.
{ printf '\010\011'; head -c 31 /dev/zero | tr '\0' 'p'; printf '\012'; head -c 64 /dev/zero; } \
    > "$decrypt/forged-pad10"
{ printf '\012\005'; head -c 31 /dev/zero | tr '\0' 'q'; printf '\000'; head -c 64 /dev/zero; } \
    > "$decrypt/forged-pad0-move"

# Argument vectors: option byte, then the arguments separated by NUL.
vector() { local name="$1" option="$2"; shift 2
    { printf "$option"; local first=1 a; for a in "$@"; do
          [ $first -eq 1 ] || printf '\000'; first=0; printf '%s' "$a"; done; } > "$driver/$name"; }
vector encrypt '\000' /P pw a.txt
vector decrypt '\000' /P pw b.cphr
vector refused-move '\000' /R /P wrong b.cphr
vector stretched '\000' /P pw /PE 41 10 c.cphr
vector raw-key-output '\000' /P "$key" k.cphr out
vector sjis-decrypt-subdir '\001' /D /P pw d.x/f
vector sjis-decrypt-utf8-dir '\001' /D /P "" $'j.\xE3\x81\x82/f'
vector sjis-encrypt-sjis-dir '\001' /P pw $'m.\x83\x5C/f'
vector sjis-move-sjis-name '\001' /R /E /P pw $'s.\x83\x5C'
vector encrypt-empty-to '\000' /E /P pw e d.x/g
vector password '\000' /MP 16
vector silent-key '\000' /S /MK
echo "seeds written to $here/corpus"
