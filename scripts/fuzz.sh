#!/usr/bin/env bash
# libFuzzer targets of Gathra (tests/fuzz), built with clang, AddressSanitizer and UBSan in build-fuzz/.
#
#   scripts/fuzz.sh TARGET SECONDS [LIBFUZZER OPTIONS...]
#                                    build TARGET and fuzz it for SECONDS (e.g. -runs=1000000 to stop
#                                    sooner); new inputs collect in build-fuzz/corpus/TARGET, crashes in
#                                    build-fuzz/crashes/TARGET
#   scripts/fuzz.sh --build          build every target (the test command does this before the suite)
#   scripts/fuzz.sh --suite TARGET   the suite's bounded run: the seed corpus plus a bounded number of
#                                    new inputs (at most 20 s), in a scratch folder
#   scripts/fuzz.sh --list           the targets
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${GATHRA_FUZZ_BUILD_DIR:-$root/build-fuzz}
targets=(fuzz_frame fuzz_line_assembler fuzz_ini fuzz_backup fuzz_workbook fuzz_xlsx fuzz_upload fuzz_mail_header fuzz_telnet)

# Configured every time (cheap once the cache exists), so that a target added since the last build is known
# to the build files before it is asked for by name.
configure() {
    if [ ! -f "$build/CMakeCache.txt" ]; then
        CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
            -DGATHRA_BUILD_FUZZ=ON -DGATHRA_BUILD_GUI=OFF -DGATHRA_BUILD_TESTS=OFF -DGATHRA_BUILD_BENCH=OFF >/dev/null
    else
        cmake -S "$root" -B "$build" >/dev/null
    fi
}

# Options every run shares: leave no files in the working folder, report leaks, keep inputs small
# enough that one run stays fast.
common=(-max_len=65536 -timeout=20 -rss_limit_mb=2048 -print_final_stats=1)
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:fast_unwind_on_malloc=0}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$root/tests/fuzz/lsan.supp:print_suppressions=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

case "${1:-}" in
    --list)
        printf '%s\n' "${targets[@]}"
        ;;
    --build)
        configure
        cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"
        ;;
    --suite)
        target=${2:?target}
        binary=$build/fuzz/$target
        if [ ! -x "$binary" ]; then
            echo "fuzz: $binary is not built (run scripts/fuzz.sh --build)" >&2
            exit 1
        fi
        scratch=$(mktemp -d)
        trap 'rm -rf "$scratch"' EXIT
        mkdir -p "$scratch/new"
        cd "$scratch"
        "$binary" "${common[@]}" -runs=300000 -max_total_time=20 -artifact_prefix="$scratch/" \
            "$scratch/new" "$root/tests/fuzz/corpus/$target"
        ;;
    *)
        target=${1:?usage: scripts/fuzz.sh TARGET SECONDS | --build | --suite TARGET | --list}
        seconds=${2:?usage: scripts/fuzz.sh TARGET SECONDS}
        shift 2
        configure
        cmake --build "$build" -j"$(nproc)" --target "$target"
        mkdir -p "$build/corpus/$target" "$build/crashes/$target"
        cd "$build"
        exec "$build/fuzz/$target" "${common[@]}" -max_total_time="$seconds" \
            -artifact_prefix="$build/crashes/$target/" "$@" "$build/corpus/$target" "$root/tests/fuzz/corpus/$target"
        ;;
esac
