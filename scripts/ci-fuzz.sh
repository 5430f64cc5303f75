#!/usr/bin/env bash
# CI: every fuzz target for a short bounded time (CANFD_FUZZ_SECONDS each,
# default 15: about three minutes in all), from the committed corpora, with
# the figures of each; any crash fails the check. scripts/fuzz.sh runs them
# longer, and --long runs a campaign.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
CANFD_WERROR=ON bash "$root/scripts/fuzz.sh" "${CANFD_FUZZ_SECONDS:-15}" "${1:-$root/build}"
