#!/usr/bin/env bash
# Makes docs/desktop-two-hosts.png again, the picture of the desktop demo: the desktop host's test
# runs two hosts offscreen against a private broker, one downloads the other's share through the
# plug-in's window, and both hosts' windows (contacts and file sharing) are grabbed afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup-debian.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target zylhost_tests
QT_QPA_PLATFORM=offscreen TZ=UTC ZYLHOST_RENDER="$PWD/docs" \
  build/tests/zylhost/zylhost_tests --gtest_filter='*TwoHostsBrowseDownload*'
echo "saved docs/desktop-two-hosts.png"
