#!/usr/bin/env bash
# CI: the VM stage (scripts/vm-test.sh) on the build tree that scripts/test.sh
# made; its check i686 takes the tree that scripts/ci-cross.sh made beside it
# (BUILD_DIR-i686).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/vm-test.sh" "${1:-$root/build}"
