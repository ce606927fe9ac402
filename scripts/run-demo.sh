#!/usr/bin/env bash
# Installs what is missing, builds, and runs the relay in console mode on the
# demo configuration in etc/, with a local receiving server (veltrane-sink on
# 127.0.0.1:1120) as its one outgoing site, so that what goes in comes out.
# Their spool, databases and logs go under var/. Ctrl+C stops both.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
mkdir -p var/spool var/history var/logs
here=$PWD
sink_port=1120  # the site in etc/init.tcl

# The site: takes every article, for the life of the demo.
sink_pid=""
stop_sink() {
  if [[ -n $sink_pid ]] && kill -0 "$sink_pid" 2>/dev/null; then
    kill -TERM "$sink_pid" 2>/dev/null || true
    wait "$sink_pid" 2>/dev/null || true
  fi
  if [[ -s var/logs/sink.log ]]; then echo "site: $(head -n 1 var/logs/sink.log)"; fi
}
trap stop_sink EXIT
./build/tools/sink/veltrane-sink --port "$sink_port" --expect 1000000000000 --time-limit 31536000 \
  >var/logs/sink.log 2>&1 &
sink_pid=$!
for _ in $(seq 100); do
  ss -Hltn "sport = :$sink_port" | grep -q . && break
  kill -0 "$sink_pid" 2>/dev/null || { cat var/logs/sink.log >&2; exit 1; }
  sleep 0.1
done

export VELTRANE_CONFIG="$here/etc/veltrane.conf"
cat <<TRY
log: $here/var/logs/veltrane.log
The relay listens on 127.0.0.1:1119 and feeds the site 127.0.0.1:$sink_port. Try, in another terminal:
  feed it:   $here/build/tools/loadgen/veltrane-loadgen --port 1119 --articles 1000
  watch it:  $here/build/tools/ctl/veltrane-ctl -s $here/var/history/veltrane.ctl GetSiteStats; curl --noproxy '*' -s 127.0.0.1:9119/metrics | grep '^veltrane_site'
  stop it:   Ctrl+C here (stops the relay and the site)
TRY
./build/veltrane -debug
