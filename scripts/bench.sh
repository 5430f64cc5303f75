#!/usr/bin/env bash
# Builds the benchmarks in Release and runs them against simulated adapters;
# prints the figures as Markdown tables.
#
#   scripts/bench.sh [--quick] [--rounds N] [section...]
#
# Sections of canfd-bench (one adapter in the benchmark's own process, under
# the hidraw sandbox preload): receive transmit bus command idle wakeup gap
# transfer. The section scale runs canfd-scale: 1, 2, 4 and 8 adapters
# served by canfd-sim in a process of their own, the library's process
# measured alone. No section: all of them, then the python-can benchmark if
# the binding has one. --quick: a short run (under a minute: scale with 8
# adapters only); the full run takes about ten minutes.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-bench}
python_bench=$root/bindings/python/bench_python.py

quick=()
rounds=()
sections=()
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=(--quick) ;;
    --rounds) rounds=(--rounds "$2"); shift ;;
    receive | transmit | bus | command | idle | wakeup | gap | transfer | scale) sections+=("$1") ;;
    *) echo "usage: bench.sh [--quick] [--rounds N] [receive|transmit|bus|command|idle|wakeup|gap|transfer|scale...]" >&2
       exit 2 ;;
  esac
  shift
done

bash "$root/scripts/deps.sh" demo
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCANFD_WERROR=ON -DCANFD_BENCH=ON \
  -DCANFD_TOOLS=ON -DCANFD_TESTS=OFF > /dev/null
cmake --build "$build" --target canfd-bench canfd-scale canfd-sim canfd-sandbox -j2 > /dev/null

bench_sections=()
scale=false
if [ ${#sections[@]} -eq 0 ]; then
  scale=true
else
  for s in "${sections[@]}"; do
    if [ "$s" = scale ]; then scale=true; else bench_sections+=("$s"); fi
  done
fi

if [ ${#sections[@]} -eq 0 ] || [ ${#bench_sections[@]} -gt 0 ]; then
  # The loader expands $PLATFORM: the preload is built per platform.
  LD_PRELOAD="$build/preload/\$PLATFORM/libcanfd-sandbox.so" \
    "$build/bin/canfd-bench" "${quick[@]}" "${rounds[@]}" "${bench_sections[@]}"
fi
if $scale; then
  # canfd-scale starts canfd-sim for each row and runs itself in its sandbox.
  "$build/bin/canfd-scale" "${quick[@]}" --python-bench "$python_bench"
fi
if [ ${#sections[@]} -eq 0 ] && [ -f "$python_bench" ]; then
  # The binding's own benchmark, inside canfd-sim with two adapters, the
  # canfd tool loading the buses; the package installed offline into a venv.
  bash "$root/scripts/deps.sh" test
  cmake --build "$build" --target canfd canfd-tool -j2 > /dev/null
  src=$root/bindings/python
  venv_python=$(sh "$src/venv.sh" /usr/bin/python3 "$src" "$build/bindings/python")
  python_args=(--tool "$build/bin/canfd")
  [ ${#quick[@]} -eq 0 ] || python_args+=(--seconds 1 --only full --bitrate 1000000)
  printf '### python-can (bindings/python/bench_python.py)\n\n```\n'
  CANFD_LIBRARY="$build/src/libcanfd.so.1" PYTHONDONTWRITEBYTECODE=1 \
    "$build/bin/canfd-sim" --adapters 2 --quiet -- "$venv_python" "$python_bench" "${python_args[@]}"
  printf '```\n'
fi
