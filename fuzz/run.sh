#!/usr/bin/env bash
# fuzz/run.sh [seconds] -- builds the libFuzzer targets into build-fuzz (clang,
# -DFUZZ=ON) and runs each one for the given time (default 30 s) on a working
# copy of its seed corpus under build-fuzz/corpus/, so the committed seeds in
# fuzz/corpus/ never grow. Prints one summary line per target and exits
# non-zero when any target finds a crash, a leak, a timeout or a broken
# invariant; the reproducer lands in build-fuzz/artifacts/<target>/.
#
# Environment: FUZZ_BUILD (build directory, default <repo>/build-fuzz),
# FUZZ_TARGETS (names, default all five), FUZZ_JOBS (build jobs, default 2),
# FUZZ_NICE (niceness of the runs, default 10).
set -uo pipefail

seconds="${1:-30}"
case "$seconds" in
  ''|*[!0-9]*) echo "usage: fuzz/run.sh [seconds]" >&2; exit 2 ;;
esac

here="$(cd "$(dirname "$0")" && pwd)"
repo="$(cd "$here/.." && pwd)"
build="${FUZZ_BUILD:-$repo/build-fuzz}"
targets="${FUZZ_TARGETS:-command hex http jscript recording}"
jobs="${FUZZ_JOBS:-2}"
niceness="${FUZZ_NICE:-10}"

if ! command -v clang++ >/dev/null 2>&1; then
  echo "fuzz/run.sh: clang++ is missing (Debian packages clang and libclang-rt-14-dev)" >&2
  exit 2
fi

# max_len per target: a few client buffers of commands, the hex text with
# room to spare, two HTTP reads and more, the -js list past its 2048-byte cut.
max_len() {
  case "$1" in
    command) echo 2048 ;;
    hex) echo 1024 ;;
    http) echo 4096 ;;
    jscript) echo 3072 ;;
  esac
}

mkdir -p "$build"
cmake -S "$repo" -B "$build" -DFUZZ=ON -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$build/configure.log" 2>&1 || {
  tail -n 40 "$build/configure.log" >&2
  echo "fuzz/run.sh: configure failed" >&2
  exit 2
}
build_targets=""
for t in $targets; do build_targets="$build_targets fuzz_$t"; done
# shellcheck disable=SC2086
cmake --build "$build" -j"$jobs" --target $build_targets >"$build/build.log" 2>&1 || {
  tail -n 60 "$build/build.log" >&2
  echo "fuzz/run.sh: build failed" >&2
  exit 2
}

status=0
for t in $targets; do
  work="$build/corpus/$t"
  arts="$build/artifacts/$t"
  log="$build/fuzz_$t.log"
  mkdir -p "$work" "$arts"
  cp -f "$here/corpus/$t/"* "$work/" 2>/dev/null
  dict=()
  [ -f "$here/$t.dict" ] && dict=(-dict="$here/$t.dict")
  # NOTE: -close_fd_mask=2 silences the program's own log lines; libFuzzer
  # and the sanitizers keep a copy of stderr for their reports.
  nice -n "$niceness" "$build/fuzz/fuzz_$t" "$work" "${dict[@]}" \
    -max_total_time="$seconds" -max_len="$(max_len "$t")" -timeout=10 \
    -rss_limit_mb=2048 -close_fd_mask=2 -print_final_stats=1 \
    -artifact_prefix="$arts/" >"$log" 2>&1
  rc=$?
  last="$(grep -E '^#[0-9]+' "$log" | tail -n 1)"
  runs="$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$log" | tail -n 1)"
  [ -z "$runs" ] && runs="$(printf '%s\n' "$last" | sed -n 's/^#\([0-9]*\).*/\1/p')"
  cov="$(printf '%s\n' "$last" | sed -n 's/.*cov: \([0-9]*\).*/\1/p')"
  ft="$(printf '%s\n' "$last" | sed -n 's/.*ft: \([0-9]*\).*/\1/p')"
  corp="$(printf '%s\n' "$last" | sed -n 's/.*corp: \([0-9]*\/[0-9]*[a-zA-Z]*\).*/\1/p')"
  eps="$(printf '%s\n' "$last" | sed -n 's/.*exec\/s: \([0-9]*\).*/\1/p')"
  if [ "$rc" -eq 0 ]; then
    result="ok"
  else
    result="FOUND (exit $rc, see $log)"
    status=1
  fi
  printf 'fuzz_%-8s runs: %s  cov: %s  ft: %s  corpus: %s  exec/s: %s  result: %s\n' \
    "$t" "${runs:-?}" "${cov:-?}" "${ft:-?}" "${corp:-?}" "${eps:-?}" "$result"
  if [ "$rc" -ne 0 ]; then
    grep -E 'ERROR|SUMMARY|Test unit written|deadly signal|==[0-9]+==' "$log" | head -n 20 >&2
  fi
done
exit $status
