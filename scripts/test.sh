#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole suite three times:
# a plain build, AddressSanitizer + UndefinedBehaviorSanitizer, and the tests
# that start threads (label "threads") under ThreadSanitizer. Any failure or
# sanitizer report fails the run.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/install-deps.sh"

jobs=${QUORVEL_JOBS:-$(nproc)}
export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1:strict_string_checks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
export GTEST_COLOR=no

build_and_test() {
    local name=$1 sanitize=$2
    shift 2
    local build="$root/build/$name"
    echo "=== $name build"
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DQUORVEL_SANITIZE="$sanitize" > /dev/null
    cmake --build "$build" -j "$jobs"
    echo "=== $name tests"
    # ThreadSanitizer cannot map its shadow memory under the kernel's full
    # address-space randomisation; setarch -R runs the tests without it.
    local runner=()
    [[ $sanitize == thread ]] && runner=(setarch "$(uname -m)" -R)
    (cd "$build" && "${runner[@]}" ctest -j "$jobs" --output-on-failure --timeout 600 "$@")
}

build_and_test plain ""
build_and_test asan-ubsan "address,undefined"
build_and_test tsan "thread" -L threads
echo "=== all test builds passed"
