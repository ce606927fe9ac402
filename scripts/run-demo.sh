#!/usr/bin/env bash
# Installs what is missing, builds, and runs the relay in console mode on the
# demo configuration in etc/. Its spool, databases and log go under var/.
# Ctrl+C stops it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
mkdir -p var/spool var/history var/logs
export VELTRANE_CONFIG="$PWD/etc/veltrane.conf"
echo "log: $PWD/var/logs/veltrane.log"
exec ./build/veltrane -debug
