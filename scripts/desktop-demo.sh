#!/usr/bin/env bash
# The desktop demo: installs what is missing, builds, and runs `zylhost demo` (a private broker,
# two desktop hosts side by side that reach it over TLS with its own authority's certificate, one
# sharing a folder tree, the other's file-sharing window opened on it). Needs a desktop session
# (an X or Wayland display).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup-debian.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target zylhost
exec build/zylhost demo "$@"
