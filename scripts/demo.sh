#!/usr/bin/env bash
# The main job: installs what is missing, builds, and runs `zylfs demo` (a private broker, two
# nodes, a folder tree shared by one and downloaded by the other, checked byte for byte).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup-debian.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target zylfs_cli
exec build/zylfs demo "$@"
