#!/usr/bin/env bash
# CI: the VM stage (scripts/vm-test.sh) on the build tree that scripts/test.sh made.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/vm-test.sh" "${1:-$root/build}"
