#!/usr/bin/env bash
# Builds the network client tests with AddressSanitizer (and UndefinedBehaviorSanitizer) in
# build-asan/ and runs them. The socket client's re-entry cases (handlers that destroy the
# client, status handlers that pump or close, replies in thousands of pieces, peers that flood
# or reset) are only proven safe when they run here: a use after free or an overflowed stack
# fails the run.
# Usage: tests/net/asan.sh            (from anywhere; ./test.sh calls it)
set -euo pipefail
cd "$(dirname "$0")/../.."

flags="-fsanitize=address,undefined -fno-sanitize=vptr -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
# Optimised with debug information but without NDEBUG: the contracts' asserts stay on here.
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVRIN_WITH_TESTS=ON \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g" -DTAVRIN_WERROR=ON \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
cmake --build build-asan -j2 --target net_tests

# Qt's own libraries are not instrumented and keep some memory until exit: leaks are not ours
# to judge here, every other report fails the run.
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1"
export QT_QPA_PLATFORM=offscreen LC_ALL=C.UTF-8
build-asan/bin/net_tests --gtest_brief=1
