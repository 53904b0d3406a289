#!/usr/bin/env bash
# Builds everything with a sanitizer and runs every test against that build:
# the unit and paint tests, and the integration and browser suites against a
# sanitized qmere.
#
#   tools/sanitize.sh address   # ASan + UBSan, into build-asan/
#   tools/sanitize.sh thread    # TSan, into build-tsan/
#
# Every sanitized process writes its reports into <build>/sanitizer-logs/
# rather than onto its standard error (where the tests read the arena's log
# lines); the run fails when a test fails or when any report was written.
# The reports that come from inside the system's GL and X libraries, not from
# our code, are suppressed by tools/tsan.supp and tools/lsan.supp.
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:?usage: tools/sanitize.sh address|thread [build-dir]}
case "$kind" in
address | thread) ;;
*) echo "usage: tools/sanitize.sh address|thread [build-dir]" >&2; exit 2 ;;
esac
[ "$kind" = address ] && dir=${2:-build-asan} || dir=${2:-build-tsan}

cmake -S . -B "$dir" -DSANITIZE="$kind" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$dir" -j2

logs=$(realpath "$dir")/sanitizer-logs
rm -rf "$logs"
mkdir -p "$logs"
root=$(pwd)
export TSAN_OPTIONS="log_path=$logs/tsan suppressions=$root/tools/tsan.supp second_deadlock_stack=1 history_size=4"
export ASAN_OPTIONS="log_path=$logs/asan detect_leaks=1 abort_on_error=0 strict_string_checks=1 detect_stack_use_after_return=1"
export LSAN_OPTIONS="suppressions=$root/tools/lsan.supp print_suppressions=0"
export UBSAN_OPTIONS="log_path=$logs/ubsan print_stacktrace=1 halt_on_error=1"

status=0
(cd "$dir" && ctest --output-on-failure) || status=1
if compgen -G "$logs/*" > /dev/null; then
    echo "== sanitizer reports ($kind) =="
    for f in "$logs"/*; do
        echo "--- $f"
        cat "$f"
    done
    status=1
fi
[ $status = 0 ] && echo "sanitize.sh $kind: every test passed, no reports"
exit $status
