#!/usr/bin/env bash
# The driver's main job on a fresh Debian 12 machine: installs what is
# missing, builds and installs qor_mdu, and runs it for a demo device with
# its settings and logs under a demo root.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
qor_install_deps

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)"
prefix="$PWD/out"
cmake --install build --prefix "$prefix" >/dev/null

demo_root="${QOR_DEMO_ROOT:-$PWD/out/demo}"
mkdir -p "$demo_root/demo/config/system" "$demo_root/demo/logs"
export QX_ROOT="$demo_root" QX_SYSTEM=demo
echo "Settings: $demo_root/demo/config/system/dev_001.ini"
echo "Logs:     $demo_root/demo/logs/"
exec "$prefix/bin/qor_mdu" 1
