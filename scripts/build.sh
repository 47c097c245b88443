#!/usr/bin/env bash
# Installs what the kit needs (Debian 12), builds everything into build/ and
# starts the configuration tool when there is a display to show it on.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build

tool=build/devconfig/devconfig
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "Built. No display here: start the configuration tool on a desktop with $tool"
  exit 0
fi
exec "$tool"
