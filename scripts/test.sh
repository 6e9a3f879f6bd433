#!/usr/bin/env bash
# Installs what is missing, checks that every C++ source is formatted as
# .clang-format says (scripts/check-format.sh), then builds and runs the
# whole suite three times:
# a plain build, AddressSanitizer + UndefinedBehaviorSanitizer, and the tests
# that start threads (label "threads") under ThreadSanitizer. Then the unit
# tests cross-built for arm64 under qemu-user (scripts/cross-test.sh), the
# amd64 packages built, checked with lintian and installed into a scratch root
# (scripts/package.sh), and the libFuzzer harnesses built with clang, each
# run for a bounded time (QUORVEL_FUZZ_SECONDS, default 40; 0 skips the
# stage). Warnings are errors in every build. Any failure, sanitizer report,
# lintian error or fuzzer finding fails the run.
#
# Hunting flaky tests: --repeat N builds one stage and runs the chosen tests
# N times each, stopping at the first failure:
#   scripts/test.sh --repeat 20                       threads and e2e tests, plain build
#   scripts/test.sh --repeat 20 --burn 2              the same beside two CPU-burning processes
#   scripts/test.sh --repeat 5 --stage tsan --label threads --filter SinkStream
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

repeat=0 stage=plain label='threads|e2e' filter='' burn=0
while (($#)); do
    case $1 in
    --repeat) repeat=$2; shift 2 ;;
    --stage) stage=$2; shift 2 ;;
    --label) label=$2; shift 2 ;;
    --filter) filter=$2; shift 2 ;;
    --burn) burn=$2; shift 2 ;;
    *) echo "usage: $0 [--repeat N [--stage plain|asan-ubsan|tsan] [--label REGEX] [--filter REGEX] [--burn K]]" >&2
       exit 2 ;;
    esac
done
[[ $repeat =~ ^[0-9]+$ && $burn =~ ^[0-9]+$ ]] || { echo "--repeat and --burn take a number" >&2; exit 2; }

"$root/scripts/install-deps.sh" --cross arm64 --package

jobs=${QUORVEL_JOBS:-$(nproc)}
export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1:strict_string_checks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
export GTEST_COLOR=no

build_stage() {
    local name=$1 sanitize=$2
    echo "=== $name build"
    cmake -S "$root" -B "$root/build/$name" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DQUORVEL_SANITIZE="$sanitize" -DQUORVEL_WERROR=ON > /dev/null
    cmake --build "$root/build/$name" -j "$jobs"
}

test_stage() {
    local name=$1 sanitize=$2
    shift 2
    echo "=== $name tests"
    # ThreadSanitizer cannot map its shadow memory under the kernel's full
    # address-space randomisation; setarch -R runs the tests without it.
    local runner=()
    [[ $sanitize == thread ]] && runner=(setarch "$(uname -m)" -R)
    (cd "$root/build/$name" && "${runner[@]}" ctest -j "$jobs" --output-on-failure --timeout 600 "$@")
}

build_and_test() {
    build_stage "$1" "$2"
    test_stage "$@"
}

# Each fuzzer runs on a scratch copy of its committed corpus under the build
# directory (the repository's corpus is never written); a crashing, leaking or
# hanging input is saved beside it and named in the output.
fuzz() {
    local seconds=${QUORVEL_FUZZ_SECONDS:-40}
    [[ $seconds == 0 ]] && return 0
    local build="$root/build/fuzz"
    echo "=== fuzz build"
    CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DQUORVEL_FUZZ=ON -DQUORVEL_WERROR=ON > /dev/null
    cmake --build "$build" -j "$jobs" --target quorvel_fuzzers
    echo "=== fuzzing, ${seconds} s per fuzzer"
    local runs="$build/runs"
    rm -rf "$runs"
    mkdir -p "$runs"
    local failed=0 corpus name work
    for corpus in "$root"/tests/fuzz/corpus/*/; do
        name=$(basename "$corpus")
        work="$runs/$name"
        mkdir -p "$work/findings"
        cp -r "$corpus" "$work/corpus"
        if (cd "$work" && "$build/tests/fuzz/$name" -max_total_time="$seconds" -error_exitcode=77 \
                -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
                -artifact_prefix="$work/findings/" "$work/corpus" > "$work/log" 2>&1); then
            echo "$name: $(grep -E '^#[0-9]+.*DONE' "$work/log" | tail -1)"
        else
            failed=1
            tail -n 80 "$work/log"
            echo "FUZZER FAILED: $name (log $work/log); input saved as:"
            ls -1 "$work/findings"/* 2>/dev/null || echo "  (none saved)"
        fi
    done
    return "$failed"
}

# CPU-burning processes for a loaded run; each is ended by its own id.
burners=()
stop_burners() {
    if ((${#burners[@]})); then
        kill "${burners[@]}" 2>/dev/null || true
    fi
    burners=()
}
trap stop_burners EXIT

if ((repeat > 0)); then
    declare -A sanitizers=([plain]="" [asan-ubsan]="address,undefined" [tsan]="thread")
    [[ -v sanitizers[$stage] ]] || { echo "unknown stage: $stage" >&2; exit 2; }
    build_stage "$stage" "${sanitizers[$stage]}"
    for ((i = 0; i < burn; i++)); do
        (while :; do :; done) &
        burners+=($!)
    done
    selection=(-L "$label")
    [[ -n $filter ]] && selection+=(-R "$filter")
    echo "=== $stage: tests labelled '$label'${filter:+ matching '$filter'}, $repeat times each, $burn CPU burners beside"
    test_stage "$stage" "${sanitizers[$stage]}" "${selection[@]}" --repeat "until-fail:$repeat"
    echo "=== $repeat runs passed"
    exit 0
fi

echo "=== format"
bash "$root/scripts/check-format.sh"
build_and_test plain ""
build_and_test asan-ubsan "address,undefined"
build_and_test tsan "thread" -L threads
bash "$root/scripts/cross-test.sh" arm64
echo "=== packages"
bash "$root/scripts/package.sh" amd64
fuzz
echo "=== all test builds and fuzzers passed"
