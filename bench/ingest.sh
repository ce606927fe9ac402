#!/usr/bin/env bash
# Ingest benchmark: how fast one relay files articles that peers push to it,
# with the load generator on the same machine.
#
#   bash bench/ingest.sh [CASE...]
#
# Builds the relay and veltrane-loadgen (RelWithDebInfo, in $BUILD_DIR,
# default build/), starts the relay in console mode in a temporary folder
# with a configuration tuned for volume (1 GiB spool files, a seen ring and
# a precommit cache sized for the run), lists $LOOPBACK (127.0.0.1; ::1 to
# measure over IPv6) as a peer, and runs each case with veltrane-loadgen on
# loopback. For every case it prints the
# load generator's figures and the relay's CPU time (user + system, all
# threads, read from /proc/<pid>/stat) per 10,000 articles. Then it stops
# the relay and removes the folder (KEEP=1 keeps it).
#
# Cases (default: the first four):
#   small-takethis  2 KiB articles, 4 connections, pipelined takethis
#   large-takethis  256 KiB articles, 4 connections, pipelined takethis
#   small-ihave     2 KiB articles, 4 connections, lock-step ihave
#   large-ihave     256 KiB articles, 4 connections, lock-step ihave
#   small-check     2 KiB articles, 4 connections, check then takethis
#
# SCRAPE=N serves the metrics page (MetricsListen) and has bench/scrape.py
# fetch it N times a second during every case, to show what scraping costs
# the ingest rate.
#
# Settings from the environment: FILE_SIZE (MaxArticleFileSize, 1 GiB; 0
# starts a spool file for every article), SMALL_ARTICLES (200000 in all),
# LARGE_ARTICLES (4000 in all), CONNECTIONS (4), WINDOW (commands in flight
# per connection, 256), TIME_LIMIT (seconds per case, 120), BUILD_DIR,
# RELAY_BIN (another relay binary to measure, e.g. an older build),
# RELAY_WRAPPER (a command the relay runs under, e.g. valgrind), WARM=0
# (no warm-up of the page cache: see warm_memory in bench/common.sh), PERF=CASE
# to sample the relay with `perf record -e cpu-clock` during that
# case (PERF=1 means small-takethis; the data stays in the kept temporary
# folder).
#
# Every case is bounded by its article count and TIME_LIMIT; the whole run
# by the cases' limits plus bounds of 60 s on the start and 10 s on the
# stop. Exit code 0 when every case had every article accepted.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${BUILD_DIR:-build}
FILE_SIZE=${FILE_SIZE:-1073741824}
SMALL_ARTICLES=${SMALL_ARTICLES:-200000}
LARGE_ARTICLES=${LARGE_ARTICLES:-4000}
CONNECTIONS=${CONNECTIONS:-4}
WINDOW=${WINDOW:-256}
TIME_LIMIT=${TIME_LIMIT:-120}
cases=("$@")
[ ${#cases[@]} -gt 0 ] || cases=(small-takethis large-takethis small-ihave large-ihave)

# shellcheck source=bench/common.sh
. bench/common.sh
build_programs

work=$(mktemp -d /tmp/veltrane-ingest.XXXXXX)
relay_pid=
perf_pid=
cleanup() {
  if [ -n "$perf_pid" ] && kill -0 "$perf_pid" 2>/dev/null; then kill -INT "$perf_pid" 2>/dev/null || true; fi
  stop_relay
  if [ "${KEEP:-0}" = 1 ] || [ -n "${PERF:-}" ]; then
    echo "kept $work"
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT

port=$(pick_port)
write_relay_config "$work" "$port"
if [ -n "${SCRAPE:-}" ]; then
  metrics_port=$(pick_port)
  echo "MetricsListen = 127.0.0.1:$metrics_port" >>"$work/relay.conf"
fi
cat >"$work/init.tcl" <<EOF
AddIncoming $LOOPBACK
close [open {$work/script-done} w]
EOF
start_relay "$work" "$port"

ticks_per_second=$(getconf CLK_TCK)

echo "relay pid $relay_pid on $LOOPBACK port $port, spool $work/spool (MaxArticleFileSize $FILE_SIZE), $(nproc) cores"
failed=0
case_number=0
run_case() {
  local name=$1 size articles mode
  case $name in
    small-takethis) size=2048; articles=$SMALL_ARTICLES; mode=takethis ;;
    large-takethis) size=262144; articles=$LARGE_ARTICLES; mode=takethis ;;
    small-ihave) size=2048; articles=$SMALL_ARTICLES; mode=ihave ;;
    large-ihave) size=262144; articles=$LARGE_ARTICLES; mode=ihave ;;
    small-check) size=2048; articles=$SMALL_ARTICLES; mode=check ;;
    *) echo "unknown case $name" >&2; failed=1; return ;;
  esac
  case_number=$((case_number + 1))
  local per=$((articles / CONNECTIONS))
  local total=$((per * CONNECTIONS))
  echo
  echo "== $name: $total articles of $size bytes, $CONNECTIONS connections, $mode"
  local profiled=${PERF:-}
  [ "$profiled" = 1 ] && profiled=small-takethis
  if [ "$profiled" = "$name" ]; then
    perf record -e cpu-clock -F ${PERF_HZ:-2000} ${PERF_CALLS:--g} -p "$relay_pid" -o "$work/perf-$name.data" >"$work/perf.out" 2>&1 &
    perf_pid=$!
    sleep 1
  fi
  local before machine_before after machine_after out rc=0
  local scrape_pid=
  if [ -n "${SCRAPE:-}" ]; then
    python3 bench/scrape.py "127.0.0.1:$metrics_port" "$SCRAPE" >"$work/scrape.out" 2>&1 &
    scrape_pid=$!
    sleep 0.5  # the scraper's start-up, so that it scrapes through the whole case
  fi
  warm_memory "$work" $((total * size))
  before=$(relay_ticks)
  machine_before=$(machine_ticks)
  out=$("$loadgen_bin" --host "$LOOPBACK" --port "$port" --connections "$CONNECTIONS" --articles "$per" \
    --size "$size" --mode "$mode" --window "$WINDOW" --time-limit "$TIME_LIMIT" \
    --run-prefix "$name.$$.$(date +%s).$case_number") || rc=$?
  after=$(relay_ticks)
  machine_after=$(machine_ticks)
  if [ -n "$scrape_pid" ]; then
    kill -TERM "$scrape_pid" 2>/dev/null || true
    wait "$scrape_pid" || true
    echo "metrics: $(cat "$work/scrape.out") at $SCRAPE per second"
  fi
  if [ -n "$perf_pid" ]; then
    kill -INT "$perf_pid" 2>/dev/null || true
    wait "$perf_pid" 2>/dev/null || true
    perf_pid=
    echo "perf data: $work/perf-$name.data (perf report -i $work/perf-$name.data --no-children)"
  fi
  echo "$out"
  local accepted
  accepted=$(sed -n 's/^summary .* accepted=\([0-9]*\) .*/\1/p' <<<"$out")
  awk -v b="$before" -v a="$after" -v hz="$ticks_per_second" -v n="$total" \
    -v busy="$(machine_busy "$machine_before" "$machine_after")" 'BEGIN {
      printf "relay cpu   %.2f s, %.3f s per 10,000 articles; machine busy %s%% of all cores\n",
             (a - b) / hz, (a - b) / hz / n * 10000, busy
    }'
  if [ "$rc" != 0 ] || [ "$accepted" != "$total" ]; then
    echo "FAILED: $name (exit $rc, $accepted of $total accepted)"
    failed=1
  fi
}

for c in "${cases[@]}"; do run_case "$c"; done
kill -0 "$relay_pid" 2>/dev/null || { echo "relay ended during the run" >&2; cat "$work/relay.out"; failed=1; }
exit $failed
