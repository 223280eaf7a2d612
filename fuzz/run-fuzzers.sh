#!/bin/bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UBSan) and runs
# each for SECONDS_PER_HARNESS seconds (default 60) on its corpus in
# fuzz/corpus/<harness>/, after replaying the inputs that once found a fault
# (tests/fuzz-regressions/<harness>/). Prints one row per harness; the exit
# status is 1 when any harness found something, 2 when the build failed.
#
#   fuzz/run-fuzzers.sh [SECONDS_PER_HARNESS]
#
# Environment:
#   FUZZ_BUILD_DIR  build folder (default: build/fuzz in the repository).
#                   New inputs go to $FUZZ_BUILD_DIR/corpus/<harness>/ and
#                   findings to $FUZZ_BUILD_DIR/findings/<harness>/; the
#                   repository's corpus is only read.
#   FUZZ_HARNESSES  the harnesses to run (default: all, as listed below).
#   FUZZ_MERGE=1    afterwards, replace fuzz/corpus/<harness>/ with the
#                   minimal set (libFuzzer -merge=1) that covers both it and
#                   what this run found.
# Needs clang-14, libclang-rt-14-dev (libFuzzer and the sanitizer run-times),
# llvm-14 (symbolised stacks), cmake and ninja.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd) || exit 2
readonly root
readonly seconds=${1:-60}
readonly build=${FUZZ_BUILD_DIR:-$root/build/fuzz}
read -r -a harnesses <<<"${FUZZ_HARNESSES:-reply_text login_replies worker_replies buffer_queue}"
readonly harnesses

if ! [[ $seconds =~ ^[0-9]+$ ]] || ((seconds == 0)); then
    echo "usage: $0 [SECONDS_PER_HARNESS]" >&2
    exit 2
fi

# Per harness: the largest input worth trying, and parallel jobs. A worker
# run waits on the library's 1-4 ms polling rounds, not on the processor,
# so several of them share one core.
declare -A max_len=([reply_text]=1024 [login_replies]=2048 [worker_replies]=2048 [buffer_queue]=1024)
declare -A forks=([reply_text]=0 [login_replies]=0 [worker_replies]=3 [buffer_queue]=0)

symbolizer=/usr/lib/llvm-14/bin/llvm-symbolizer
[[ -x $symbolizer ]] && export ASAN_SYMBOLIZER_PATH=$symbolizer
export ASAN_OPTIONS=detect_leaks=1:handle_abort=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

build_targets() {
    local targets=() harness
    for harness in "${harnesses[@]}"; do targets+=("${harness}_fuzzer"); done
    cmake -S "$root/fuzz" -B "$build" -G Ninja \
        -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 >"$build/configure.log" 2>&1 &&
        cmake --build "$build" -j 2 --target "${targets[@]}" >"$build/build.log" 2>&1
}

# Files libFuzzer saves for a crash, a leak, a time-out or running out of memory.
count_findings() {
    find "$1" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' \
        -o -name 'oom-*' \) | wc -l
}

# The saved fault inputs, each run once; false when one of them fails again.
replay_regressions() {
    local binary=$1 folder=$2 log=$3
    local inputs=("$folder"/*)
    [[ -e ${inputs[0]} ]] || return 0
    "$binary" -runs=1 "${inputs[@]}" >"$log" 2>&1
}

# Executions: the final statistics, or in fork mode the last status line.
count_executions() {
    local log=$1 count
    count=$(sed -n 's/^stat::number_of_executed_units: *\([0-9]*\)/\1/p' "$log" | tail -n 1)
    [[ -z $count ]] && count=$(sed -n 's/^#\([0-9]*\):.*/\1/p' "$log" | tail -n 1)
    echo "${count:-0}"
}

# The corpus size libFuzzer last reported (its folder also keeps inputs it
# has since replaced by smaller ones).
corpus_size() {
    local count
    count=$(sed -n 's/.* corp: \([0-9]*\).*/\1/p' "$1" | tail -n 1)
    echo "${count:-0}"
}

fuzz_one() {
    local harness=$1 binary="$build/bin/${1}_fuzzer"
    local corpus="$build/corpus/$harness" findings="$build/findings/$harness"
    local log="$build/logs/$harness.log"
    mkdir -p "$corpus" "$findings" "$build/logs"
    local before notes=()
    before=$(count_findings "$findings")
    if ! replay_regressions "$binary" "$root/tests/fuzz-regressions/$harness" \
        "$build/logs/$harness-regressions.log"; then
        notes+=("a saved fault input fails again: $build/logs/$harness-regressions.log")
    fi
    local options=(-max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096
        -max_len="${max_len[$harness]}" -print_final_stats=1 -artifact_prefix="$findings/")
    ((${forks[$harness]} > 0)) && options+=(-fork="${forks[$harness]}")
    local start=$SECONDS
    "$binary" "${options[@]}" "$corpus" "$root/fuzz/corpus/$harness" >"$log" 2>&1
    local exit_code=$? elapsed=$((SECONDS - start))
    local executions found
    executions=$(count_executions "$log")
    found=$(($(count_findings "$findings") - before))
    if ((exit_code != 0 && found == 0)); then
        found=1
    fi
    ((found > 0)) && notes+=("found: $log, $findings")
    local status=ok
    if ((${#notes[@]} > 0)); then
        status=$(printf '%s; ' "${notes[@]}")
        total_findings=$((total_findings + (found > 0 ? found : 1)))
    fi
    rows+=("$(printf '%-16s %7s %11s %7s %7s %8s  %s' "$harness" "$elapsed" "$executions" \
        "$((executions / (elapsed > 0 ? elapsed : 1)))" "$(corpus_size "$log")" "$found" "${status%; }")")
}

# The minimal set covering the repository's corpus and this run's finds.
merge_corpus() {
    local harness=$1 merged
    merged=$(mktemp -d)
    "$build/bin/${harness}_fuzzer" -merge=1 -max_len="${max_len[$harness]}" -timeout=30 \
        "$merged" "$root/fuzz/corpus/$harness" "$build/corpus/$harness" \
        >"$build/logs/$harness-merge.log" 2>&1 &&
        rm -f "$root/fuzz/corpus/$harness"/* &&
        cp "$merged"/* "$root/fuzz/corpus/$harness"/
    local status=$?
    rm -rf "$merged"
    echo "merged $harness: $(find "$root/fuzz/corpus/$harness" -type f | wc -l) files"
    return $status
}

main() {
    mkdir -p "$build"
    echo "== building the fuzz targets in $build"
    if ! build_targets; then
        echo "build failed: $build/configure.log, $build/build.log" >&2
        tail -n 20 "$build/build.log" >&2 2>/dev/null
        exit 2
    fi
    rows=()
    total_findings=0
    local harness
    for harness in "${harnesses[@]}"; do
        echo "== fuzzing $harness for $seconds s"
        fuzz_one "$harness"
    done
    if [[ ${FUZZ_MERGE:-0} == 1 ]]; then
        for harness in "${harnesses[@]}"; do merge_corpus "$harness"; done
    fi
    echo
    printf '%-16s %7s %11s %7s %7s %8s  %s\n' harness seconds executions exec/s corpus findings result
    printf '%s\n' "${rows[@]}"
    echo "fuzz findings: $total_findings"
    ((total_findings == 0))
}

main
