#!/usr/bin/env bash
# CI: each fuzz target for a bounded time (scripts/fuzz.sh runs them longer).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/fuzz.sh" "${CANFD_FUZZ_SECONDS:-60}" "${1:-$root/build}"
