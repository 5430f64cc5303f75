#!/usr/bin/env bash
# The libFuzzer targets (tests/fuzz), built with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer into <host-build>-fuzz.
#
# Usage:
#   scripts/fuzz.sh [SECONDS [HOST_BUILD]]
#       runs every target for SECONDS (default 60) each, one after the other,
#       from the committed corpus, then prints each target's inputs, inputs
#       per second of CPU time and its ratio to the end-to-end target's.
#   scripts/fuzz.sh --long HOURS [HOST_BUILD]
#       a campaign: every target, two at a time (FUZZ_JOBS) at nice 19, in
#       rounds of FUZZ_ROUND seconds (default 600) for HOURS in all; after
#       each round a target's corpus is merged and minimised. Writes
#       <fuzz-build>/campaign/report.txt (inputs per target, findings, the
#       command that reproduces each), crash inputs to
#       <fuzz-build>/campaign/crashes/<name>/, corpora to .../corpus/<name>/.
#   scripts/fuzz.sh --seeds [HOST_BUILD]
#       records seeds from real traffic (the reports of the simulated adapter
#       in scripts/demo.sh and scripts/soak.sh, the arguments the tool's tests
#       give the tool) and merges them, minimised, into tests/fuzz/corpus.
#   scripts/fuzz.sh --repro TARGET INPUT [HOST_BUILD]
#       runs one saved input through its target, e.g. a crash:
#         scripts/fuzz.sh --repro fuzz_stream build-fuzz/crashes/stream/crash-1f2e...
#       (builds the target if needed; exit status 0 when the input passes).
#
# FUZZ_TARGETS="fuzz_rings fuzz_tx" picks targets; CANFD_WERROR=ON makes
# warnings errors (CI). A crash stops its target's
# run; the input is saved in <fuzz-build>/crashes/<name>/ and the command that
# reproduces it is printed. Crash inputs worth keeping go to
# tests/fuzz/crashes/<name>/: ctest replays them (fuzz_replay_<name>).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

mode=run
all_args=("$@")
case "${1:-}" in
  --long) mode=long; hours=${2:?--long HOURS}; shift 2 ;;
  --seeds) mode=seeds; shift ;;
  --repro) mode=repro; repro_target=${2:?--repro TARGET INPUT}; repro_input=${3:?--repro TARGET INPUT}
           shift 3 ;;
  *) seconds=${1:-60}; shift $(( $# > 0 ? 1 : 0 )) ;;
esac
host=${1:-$root/build}
fuzz=${FUZZ_BUILD_DIR:-$host-fuzz}
jobs=${FUZZ_JOBS:-2}

in_process=(fuzz_dispatch fuzz_answers fuzz_exchange fuzz_stream fuzz_rings fuzz_tx fuzz_filters
            fuzz_frame_text fuzz_tool_args)
read -r -a targets <<< "${FUZZ_TARGETS:-${in_process[*]} fuzz_reports}"

# Longest input of each target: enough for its structures, short enough that
# inputs stay fast.
declare -A max_len=([fuzz_dispatch]=700 [fuzz_answers]=600 [fuzz_exchange]=256 [fuzz_stream]=1200
                    [fuzz_rings]=256 [fuzz_tx]=700 [fuzz_filters]=700 [fuzz_frame_text]=160
                    [fuzz_tool_args]=100 [fuzz_reports]=4096)
declare -A dict=([fuzz_frame_text]=$root/tests/fuzz/tool.dict [fuzz_tool_args]=$root/tests/fuzz/tool.dict)

export ASAN_OPTIONS=verify_asan_link_order=0:use_sigaltstack=0:detect_leaks=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
name_of() { echo "${1#fuzz_}"; }

build() {
  # The host build: the sandbox preload for fuzz_reports, the programs that
  # record seeds.
  cmake -S "$root" -B "$host" -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
  cmake --build "$host" --target canfd-sandbox -j"$jobs" > /dev/null
  local flags="-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=all"
  flags+=" -fno-omit-frame-pointer -fsanitize-coverage-ignorelist=$root/tests/fuzz/coverage_ignore.txt"
  cmake -S "$root" -B "$fuzz" -DCANFD_FUZZ=ON -DCANFD_TOOLS=OFF -DCANFD_BENCH=OFF \
    -DCANFD_WERROR="${CANFD_WERROR:-OFF}" \
    -DCANFD_EXAMPLES=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
    -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" > /dev/null
  cmake --build "$fuzz" --target "$@" -j"$jobs" > "$fuzz/build.log" 2>&1 ||
    { cat "$fuzz/build.log"; exit 1; }
}

# Runs a libFuzzer program with the target's options; the rest of the
# arguments go to libFuzzer.
fuzzer() {
  local target=$1
  shift
  local preload="" extra=()
  [ "$target" = fuzz_reports ] && preload="$host/preload/\$PLATFORM/libcanfd-sandbox.so"
  [ -n "${dict[$target]:-}" ] && extra+=(-dict="${dict[$target]}")
  LD_PRELOAD="$preload" "$fuzz/tests/fuzz/$target" -max_len="${max_len[$target]}" -timeout=30 \
    -rss_limit_mb=2048 "${extra[@]}" "$@"
}

# CPU seconds (user + system) of a shell's finished children, from what its
# `times` wrote (run by that shell itself: a subshell or pipe would report
# another process's).
cpu_seconds() {
  tail -n 1 "$1" | awk '{ s = 0; for (i = 1; i <= 2; i++) { split($i, t, /[ms]/)
                           s += t[1] * 60 + t[2] } printf "%.2f", s }'
}

# One run of a target: prints "inputs cpu-seconds" on its last line; the
# libFuzzer log goes to $log. Status: libFuzzer's.
run_target() {
  local target=$1 secs=$2 corpus=$3 log=$4 crashes=$5
  shift 5
  mkdir -p "$corpus" "$crashes"
  # The committed seeds, where a target has them.
  local seeds="$root/tests/fuzz/corpus/$(name_of "$target")" more=()
  [ -d "$seeds" ] && more+=("$seeds")
  # libFuzzer needs one input that reaches the code to start from.
  [ ${#more[@]} -gt 0 ] || [ -n "$(ls -A "$corpus")" ] || head -c 64 /dev/zero > "$corpus/zeros"
  local status=0
  (
    set +e
    fuzzer "$target" -max_total_time="$secs" -print_final_stats=1 \
      -artifact_prefix="$crashes/" "$corpus" "${more[@]}" "$@" > "$log" 2>&1
    status=$?
    times > "$log.times"
    local cpu
    cpu=$(cpu_seconds "$log.times")
    echo "$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1) $cpu"
    exit $status
  ) || status=$?
  return $status
}

crash_note() {
  local target=$1 log=$2
  local input
  input=$(sed -n "s/.*Test unit written to \(.*\)$/\1/p" "$log" | tail -n 1)
  grep -E "invariant broken|ERROR: |runtime error" "$log" | head -n 3 | sed 's/^/    /' || true
  [ -n "$input" ] && echo "    reproduce: scripts/fuzz.sh --repro $target $input"
  return 0
}

case $mode in
repro)
  build "$repro_target"
  status=0
  fuzzer "$repro_target" "$repro_input" || status=$?
  [ $status -eq 0 ] && echo "-- $repro_target: $repro_input passes"
  exit $status
  ;;

run)
  build "${targets[@]}"
  declare -A inputs cpu
  failed=0
  for target in "${targets[@]}"; do
    name=$(name_of "$target")
    echo "-- $target for ${seconds}s"
    log="$fuzz/$target.log"
    if line=$(run_target "$target" "$seconds" "$fuzz/corpus-$name" "$log" "$fuzz/crashes/$name"); then
      :
    else
      failed=1
      echo "-- $target FAILED"
      crash_note "$target" "$log"
    fi
    read -r inputs[$target] cpu[$target] <<< "$(echo "$line" | tail -n 1)"
  done
  # Figures: inputs per second of CPU time, and against the end-to-end
  # target measured in this run.
  base=""
  if [ -n "${inputs[fuzz_reports]:-}" ]; then
    base=$(awk -v n="${inputs[fuzz_reports]}" -v c="${cpu[fuzz_reports]}" \
      'BEGIN { if (c > 0) printf "%.0f", n / c }')
  fi
  echo
  printf '%-16s %12s %9s %14s %s\n' target inputs "cpu s" "inputs/cpu s" "${base:+x fuzz_reports}"
  for target in "${targets[@]}"; do
    awk -v t="$target" -v n="${inputs[$target]:-0}" -v c="${cpu[$target]:-0}" -v b="$base" \
      'BEGIN { r = c > 0 ? n / c : 0
               printf "%-16s %12d %9.1f %14.0f", t, n, c, r
               if (b > 0 && t != "fuzz_reports") printf " %12.0f", r / b
               printf "\n" }'
  done
  exit $failed
  ;;

long)
  # The machine is shared: the whole campaign runs at the lowest priority.
  [ "$(nice)" -ge 19 ] || exec nice -n 19 bash "$0" "${all_args[@]}"
  build "${targets[@]}"
  out="$fuzz/campaign"
  mkdir -p "$out/corpus" "$out/crashes" "$out/logs"
  rm -f "$out"/*.busy
  round=${FUZZ_ROUND:-600}
  end=$(( $(date +%s) + $(awk -v h="$hours" 'BEGIN { printf "%d", h * 3600 }') ))
  declare -A total_inputs total_cpu
  for target in "${targets[@]}"; do total_inputs[$target]=0; total_cpu[$target]=0; done
  [ -f "$out/totals" ] && while read -r t n c; do total_inputs[$t]=$n; total_cpu[$t]=$c; done \
    < "$out/totals"
  findings="$out/findings.txt"
  touch "$findings"
  n=0
  while [ "$(date +%s)" -lt "$end" ]; do
    # A round: every target once, FUZZ_JOBS at a time.
    for target in "${targets[@]}"; do
      [ "$(date +%s)" -lt "$end" ] || break
      name=$(name_of "$target")
      # A target runs once at a time (its corpus is its own).
      while [ "$(jobs -rp | wc -l)" -ge "$jobs" ] || [ -e "$out/$name.busy" ]; do
        wait -n || true
      done
      n=$((n + 1))
      touch "$out/$name.busy"
      (
        log="$out/logs/$target.$n.log"
        status=0
        line=$(run_target "$target" "$round" "$out/corpus/$name" "$log" "$out/crashes/$name") ||
          status=$?
        echo "$target $(echo "$line" | tail -n 1)" >> "$out/runs"
        if [ $status -ne 0 ]; then
          { echo "$target (round $n, $(date -u +%FT%TZ)):"; crash_note "$target" "$log"; } \
            >> "$findings"
        fi
        # Merge and minimise: only inputs that add coverage stay.
        rm -rf "$out/corpus/$name.min"
        mkdir -p "$out/corpus/$name.min"
        if fuzzer "$target" -merge=1 "$out/corpus/$name.min" "$out/corpus/$name" \
             > "$log.merge" 2>&1; then
          rm -rf "$out/corpus/$name"
          mv "$out/corpus/$name.min" "$out/corpus/$name"
        fi
        rm -f "$out/$name.busy"
      ) &
    done
  done
  wait || true
  # Totals over all rounds (earlier campaigns in the same place included).
  touch "$out/runs"
  while read -r t i c; do
    total_inputs[$t]=$(( ${total_inputs[$t]:-0} + ${i:-0} ))
    total_cpu[$t]=$(awk -v a="${total_cpu[$t]:-0}" -v b="${c:-0}" 'BEGIN { printf "%.1f", a + b }')
  done < "$out/runs"
  rm -f "$out/runs"
  : > "$out/totals"
  for t in "${targets[@]}"; do echo "$t ${total_inputs[$t]} ${total_cpu[$t]}" >> "$out/totals"; done
  {
    echo "Fuzzing campaign, $(date -u +%F), $hours h of $jobs jobs (totals over every campaign here)"
    echo
    printf '%-16s %14s %10s %14s %8s %8s\n' target inputs "cpu s" "inputs/cpu s" corpus crashes
    all=0
    for t in "${targets[@]}"; do
      name=$(name_of "$t")
      crashes=$(find "$out/crashes/$name" -type f 2> /dev/null | wc -l)
      files=$(find "$out/corpus/$name" -type f 2> /dev/null | wc -l)
      awk -v t="$t" -v n="${total_inputs[$t]}" -v c="${total_cpu[$t]}" -v f="$files" -v k="$crashes" \
        'BEGIN { printf "%-16s %14d %10.0f %14.0f %8d %8d\n", t, n, c, (c > 0 ? n / c : 0), f, k }'
      all=$(( all + total_inputs[$t] ))
    done
    echo
    echo "inputs in all: $all"
    echo
    echo "Findings:"
    if [ -s "$findings" ]; then cat "$findings"; else echo "  none"; fi
  } > "$out/report.txt"
  cat "$out/report.txt"
  ;;

seeds)
  build "${targets[@]}"
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  cmake --build "$host" -j"$jobs" --target canfd-tool canfd-sim canfd-soak canfd-fuzz-record \
    canfd-fuzz-seeds > /dev/null
  # The simulated adapter's reports: the demo's session and full-rate run,
  # and a soak.
  BUILD_DIR=$host bash "$root/scripts/demo.sh" --record-reports "$tmp/reports" > "$tmp/demo.log" 2>&1 ||
    { cat "$tmp/demo.log"; exit 1; }
  BUILD_DIR=$host bash "$root/scripts/soak.sh" 5 --record "$tmp/reports/soak.log" > /dev/null
  # The tool's arguments, as its tests give them: the tests run a wrapper
  # that keeps each invocation's arguments.
  mkdir -p "$tmp/bin" "$tmp/args"
  ln -s "$host/bin/canfd-sim" "$tmp/bin/canfd-sim"
  printf '#!/bin/sh\nprintf "%%s\\0" "$@" > "$(mktemp %s/args/a.XXXXXX)"\nexec %s "$@"\n' \
    "$tmp" "$host/bin/canfd" > "$tmp/bin/canfd"
  chmod +x "$tmp/bin/canfd"
  (cd "$root/tests/tool" && CANFD_BIN_DIR=$tmp/bin /usr/bin/python3 -m unittest test_tool) \
    > "$tmp/tool.log" 2>&1 || { cat "$tmp/tool.log"; exit 1; }
  args=()
  for log in "$tmp"/reports/*.log; do args+=(--reports "$log"); done
  "$host/bin/canfd-fuzz-seeds" "$tmp/seeds" "${args[@]}" --args "$tmp/args"
  # Minimised into the committed corpora: an input stays if it adds coverage.
  for target in "${targets[@]}"; do
    name=$(name_of "$target")
    [ -d "$tmp/seeds/$name" ] || continue
    mkdir -p "$root/tests/fuzz/corpus/$name"
    before=$(find "$root/tests/fuzz/corpus/$name" -type f | wc -l)
    fuzzer "$target" -merge=1 "$root/tests/fuzz/corpus/$name" "$tmp/seeds/$name" \
      > "$tmp/merge.log" 2>&1 || { cat "$tmp/merge.log"; exit 1; }
    after=$(find "$root/tests/fuzz/corpus/$name" -type f | wc -l)
    echo "-- $name: $(find "$tmp/seeds/$name" -type f | wc -l) seeds, corpus $before -> $after inputs"
  done
  ;;
esac
