#!/usr/bin/env bash
# Builds everything and runs every test: the release build (with the
# micro-benchmarks run briefly), then the AddressSanitizer+UBSan build.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
cd "$here"
. scripts/deps.sh
cipher_need_packages "${CIPHER_BUILD_PACKAGES[@]}" "${CIPHER_TEST_PACKAGES[@]}"
jobs="$(nproc)"

echo "== release build"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs")
echo "== micro-benchmarks (brief)"
for bench in build/*_bench; do
    [ -x "$bench" ] && "$bench" --benchmark_min_time=0.05
done

echo "== sanitizer build (address, undefined)"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DCIPHER_SANITIZE=ON -DCIPHER_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"
(cd build-asan && ctest --output-on-failure -j"$jobs")
# ---- valgrind: end-to-end runs of the release binary, and its hardening ----
echo "== valgrind (memcheck) and hardening"
scripts/valgrind.sh build/cipher

# ---- fuzzing: each libFuzzer target briefly (clang, ASan+UBSan, leaks) ----
echo "== fuzzing (20 s per target)"
scripts/fuzz.sh 20

echo "== all tests passed"
