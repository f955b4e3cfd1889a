#!/usr/bin/env bash
# Installs, when missing, every Debian package the build, the tests and the node need.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config   # the toolchain
  libgtest-dev libgmock-dev          # unit and end-to-end tests
  libfmt-dev                         # text formatting in the engine
  qt6-base-dev                       # event loop, timers and MIME types of the module and the node;
                                     # the widgets of the plug-in's window
  fonts-wqy-microhei                 # a font for the window's Chinese texts
  libcli11-dev                       # the node's command line
  mosquitto libmosquitto-dev         # the broker and its client library for the host transport
  openssl                            # the private broker's certificate, made on the fly
  libsodium-dev                      # the keys and the sealing of frames between hosts
  clang-format                       # the checked-in code style
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
