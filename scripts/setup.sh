#!/usr/bin/env bash
# Installs what the build, the simulator and the tests need (Debian packages).
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
packages=(
  build-essential cmake pkg-config python3          # the tool
  libgtest-dev libgmock-dev googletest              # unit tests
  libunicorn-dev                                    # the simulated instrument's CPU
  gcc-arm-none-eabi                                 # rebuilding the ARM images
  clang libclang-rt-dev                             # fuzzing and sanitizers
  mingw-w64 wine64 xvfb xauth xdotool               # the Windows build and its tests
)
if [ "${QUILLMERE_MINIMAL:-0}" = "1" ]; then
  packages=(build-essential cmake pkg-config python3 libgtest-dev libgmock-dev libunicorn-dev)
fi
$SUDO apt-get update -q
$SUDO apt-get install -y -q "${packages[@]}"
