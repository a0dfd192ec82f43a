#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (AddressSanitizer, UBSan)
# in build-fuzz and runs each one for the given number of seconds (default
# 20), one job per target, on a copy of its seed corpus in build-fuzz, so the
# repository is not changed. Fails on any crash, leak, time-out or sanitizer
# report; the failing input is left in build-fuzz/artifacts.
#   scripts/fuzz.sh          # 20 s per target
#   scripts/fuzz.sh 3600     # an hour per target
set -euo pipefail
seconds="${1:-20}"
here="$(cd "$(dirname "$0")/.." && pwd)"
cd "$here"
. scripts/deps.sh
cipher_need_packages cmake make libssl-dev clang libclang-rt-14-dev locales

build="$here/build-fuzz"
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCIPHER_FUZZ=ON -DCIPHER_TESTS=OFF -DCIPHER_BENCH=OFF >/dev/null
cmake --build "$build" -j2 --target decrypt_fuzz driver_fuzz

# A Shift-JIS locale for the driver's double-byte paths, when it can be made.
export LOCPATH="$build/locale"
if [ ! -d "$LOCPATH/ja_JP.SJIS" ]; then
    mkdir -p "$LOCPATH"
    localedef -c --no-warnings=ascii -f SHIFT_JIS -i ja_JP "$LOCPATH/ja_JP.SJIS" 2>/dev/null ||
        echo "no Shift-JIS locale: the driver runs without it" >&2
fi

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1:strict_string_checks=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
status=0
for target in decrypt_fuzz driver_fuzz; do
    corpus="$build/corpus/$target"
    artifacts="$build/artifacts/$target"
    log="$build/$target.log"
    rm -rf "$corpus"
    mkdir -p "$corpus" "$artifacts"
    cp fuzz/corpus/"$target"/* "$corpus"/
    options=(-max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 -detect_leaks=1
             -print_final_stats=1 -artifact_prefix="$artifacts/")
    [ -f "fuzz/$target.dict" ] && options+=(-dict="fuzz/$target.dict")
    echo "== $target: $seconds s"
    if ! "$build/$target" "${options[@]}" "$corpus" >"$log" 2>&1; then
        echo "$target FAILED (log: $log)" >&2
        tail -n 60 "$log" >&2
        status=1
        continue
    fi
    # A report that did not end the run still counts.
    if grep -qE 'runtime error:|ERROR: (Address|Leak|UndefinedBehavior)Sanitizer|==harness==' "$log"; then
        echo "$target: sanitizer report (log: $log)" >&2
        grep -nE -A20 'runtime error:|ERROR: .*Sanitizer|==harness==' "$log" | head -n 60 >&2
        status=1
        continue
    fi
    grep -E '^stat::number_of_executed_units|^#[0-9]+[[:space:]]+DONE' "$log"
done
exit "$status"
