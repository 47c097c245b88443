#!/usr/bin/env bash
# The Debian 12 packages the kit builds and tests with.
set -euo pipefail
# qtbase5-dev: the configuration tool (Qt 5 Core, Gui, Widgets and Test, with
# the offscreen platform its tests use); fonts-wqy-microhei: a font that holds
# the tool's Chinese texts; dpkg-dev and file: the Debian packages'
# dependencies found by cpack (dpkg-shlibdeps) and the multiarch folder;
# lintian and desktop-file-utils: the checks of the packages and of the
# tool's desktop entry (scripts/check-install.sh).
pkgs=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev
      libbenchmark-dev libtinyxml-dev pkg-config iproute2 util-linux binutils
      qtbase5-dev fonts-wqy-microhei dpkg-dev file lintian desktop-file-utils)
missing=()
for p in "${pkgs[@]}"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
if [ "${#missing[@]}" -gt 0 ]; then
  sudo=""; [ "$(id -u)" = 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi
