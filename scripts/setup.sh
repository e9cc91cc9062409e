#!/usr/bin/env bash
# Installs every Debian package the project builds, tests and runs with.
# Idempotent: packages already present are left alone, and nothing is fetched
# from anywhere but the machine's own Debian package sources.
set -euo pipefail

packages=(
  build-essential cmake ninja-build ccache pkg-config
  libeigen3-dev libboost-dev
  libopencv-dev
  libopenimageio-dev openimageio-tools libopenexr-dev
  libtbb-dev
  python3 python3-dev python3-numpy pybind11-dev
  libosmesa6-dev
  libcli11-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  slurm-wlm munge
  fonts-dejavu-core
  clang libclang-rt-dev clang-format
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]} == 0)); then
  echo "setup: all ${#packages[@]} packages are installed"
  exit 0
fi

echo "setup: installing ${missing[*]}"
SUDO=""
if [[ $(id -u) -ne 0 ]]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
