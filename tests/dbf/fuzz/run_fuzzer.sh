#!/bin/sh
# Builds the table fuzz target with clang (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer)
# in its own build folder and runs it for SECONDS, starting from the corpus beside this script.
# Inputs that crash land in $FUZZ_OUT/artifacts; add the ones worth keeping to corpus/ under a name
# that says what they hold. Usage: run_fuzzer.sh SECONDS [extra libFuzzer options]
set -eu
if [ $# -lt 1 ]; then
  echo "usage: $0 SECONDS [libFuzzer options]" >&2
  exit 2
fi
seconds=$1
shift
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
out=${FUZZ_OUT:-$build/fuzz-run}

if ! command -v clang++ >/dev/null 2>&1; then
  echo "clang++ not found: the fuzzer is not built (the corpus replay in the tests still runs)."
  exit 0
fi

sanitize="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTAVRIN_WITH_QT=OFF -DTAVRIN_LIBFUZZER=ON \
  -DCMAKE_C_FLAGS="$sanitize -fsanitize=fuzzer-no-link" \
  -DCMAKE_CXX_FLAGS="$sanitize -fsanitize=fuzzer-no-link" >/dev/null
cmake --build "$build" --target dbf_fuzz -j2

mkdir -p "$out/corpus" "$out/artifacts"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export ASAN_OPTIONS=detect_leaks=1
# The target rewrites its two files for every input; on a RAM disk the fsyncs cost nothing.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi
# -fork keeps going after a fault so one run finds more than one; each fault is kept as an artifact.
"$build/bin/dbf_fuzz" -max_total_time="$seconds" -max_len=16384 -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix="$out/artifacts/" "$@" "$out/corpus" "$here/corpus"
