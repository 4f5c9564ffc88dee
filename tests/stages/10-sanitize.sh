#!/usr/bin/env bash
# Builds the unit tests with AddressSanitizer and UndefinedBehaviorSanitizer in a build
# directory of their own beside the native one, and runs the encoding, digest and
# password tests there: the code that walks byte buffers by hand.
# Usage: bash tests/stages/10-sanitize.sh NATIVE_BUILD_DIR
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="${1:?usage: $0 NATIVE_BUILD_DIR}-asan"
filter='JisConvert*:Md5*:HmacMd5*:Apop*:Blowfish*:Password*'

cmake -S "$root" -B "$build" -G Ninja -DVORNA_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$build" -j2 --target vorna_unit_tests
# Any finding ends the run with a failure (the build uses -fno-sanitize-recover).
export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=0:detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
"$build/tests/vorna_unit_tests" --gtest_filter="$filter" --gtest_brief=1
