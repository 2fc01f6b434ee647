#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the conformance checks need.
# Packages already present are left alone, so a second run costs nothing.
set -euo pipefail
pkgs=(cmake ninja-build g++ pkg-config zlib1g-dev libdeflate-dev nlohmann-json3-dev libpugixml-dev libstb-dev libcli11-dev
      libncurses-dev libassimp-dev assimp-utils libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev
      tmux blender python3-numpy)
if [ "${VORN_CONFORMANCE:-1}" = 1 ]; then
  pkgs+=(wine64 g++-mingw-w64-x86-64 glslang-tools python3-pil)
fi
# The texture encoders' comparison and benchmark (bench/texture_encoders.cpp, texture-bench.sh).
if [ "${VORN_TEXTURE_BENCH:-0}" = 1 ]; then
  pkgs+=(libsquish-dev libnvtt-dev libspng-dev libpng-dev time bc)
fi
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""; [ "$(id -u)" -ne 0 ] && sudo=sudo
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
