#!/usr/bin/env bash
# End-to-end relay benchmark: articles pushed into one relay and fed on to
# two outgoing sites, all on this machine.
#
#   bash bench/relay.sh [CASE...]
#
# For each case it starts two veltrane-sink receivers (127.0.0.2 and
# 127.0.0.3, one site each; with LOOPBACK=::1 both on ::1, the sites named
# "::1" and "[::1]"), then a relay in a temporary folder whose start-up
# script lists $LOOPBACK (127.0.0.1) as a peer and creates both sites with
# distribution "*", RegularFeedPrefetch 29, MaxBacklog 200000 and $FEEDERS
# streaming feeders each; veltrane-loadgen then pushes the articles in over
# $CONNECTIONS connections (pipelined takethis). It prints the load
# generator's figures (the rate into the relay), each sink's (the rate out
# to that site, the articles that came twice, and the delay from the load
# generator's writing of each article to its arrival), and the relay's CPU
# time. A fresh relay and fresh sinks serve each case.
#
# Cases (default: all but small-narrow):
#   small           2 KiB articles as fast as they go
#   large           256 KiB articles as fast as they go
#   latency         2 KiB articles paced at $RATE per second (default: half
#                   the end-to-end rate of "small" when it ran before, else
#                   15000)
#   small-narrow    "small" with 4 more sites (127.0.0.4 to .7, each with its
#                   own sink and $FEEDERS feeders) whose distribution matches
#                   none of the articles: what sites that want few articles
#                   cost the relay (compare its CPU per article with "small")
#   small-backlog   2 KiB (or 256 KiB) articles stored first, then fed out:
#   large-backlog   the rate out alone, as when sites catch up after an
#                   outage (the feeders are created once the load is in,
#                   starting at a first article stored before it). A site
#                   passes over history entries more than MaxBacklog x 98
#                   bytes behind (200000: some 175,000 of these articles),
#                   so small-backlog stays below that.
#
# Settings from the environment: SMALL_ARTICLES (200000 in all),
# LARGE_ARTICLES (4000), LATENCY_ARTICLES (100000), SMALL_BACKLOG_ARTICLES
# (150000), CONNECTIONS (4),
# FEEDERS (per site, 2), WINDOW (256), RATE, MAX_BACKLOG (the sites'
# maxbacklog, 200000; raise it with SMALL_ARTICLES, or sites that lag pass
# articles over), TIME_LIMIT (seconds per case,
# 120), BUILD_DIR, RELAY_BIN, RELAY_WRAPPER, FILE_SIZE (see bench/common.sh),
# PERF=CASE to sample the relay with `perf record` during that case, KEEP=1
# to keep the temporary folders, WARM=0 (no warm-up of the
# page cache: see warm_memory in bench/common.sh).
#
# Every case is bounded by TIME_LIMIT (the sinks give up after it); exit
# code 0 when in every case every article was accepted and arrived at both
# sites exactly once.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${BUILD_DIR:-build}
SMALL_ARTICLES=${SMALL_ARTICLES:-200000}
LARGE_ARTICLES=${LARGE_ARTICLES:-4000}
LATENCY_ARTICLES=${LATENCY_ARTICLES:-100000}
SMALL_BACKLOG_ARTICLES=${SMALL_BACKLOG_ARTICLES:-150000}
CONNECTIONS=${CONNECTIONS:-4}
FEEDERS=${FEEDERS:-2}
WINDOW=${WINDOW:-256}
TIME_LIMIT=${TIME_LIMIT:-120}
MAX_BACKLOG=${MAX_BACKLOG:-200000}
RATE=${RATE:-}
cases=("$@")
[ ${#cases[@]} -gt 0 ] || cases=(small large latency small-backlog large-backlog)

# shellcheck source=bench/common.sh
. bench/common.sh
build_programs

work=
relay_pid=
perf_pid=
sink_pids=()
cleanup() {
  if [ -n "$perf_pid" ] && kill -0 "$perf_pid" 2>/dev/null; then kill -INT "$perf_pid" 2>/dev/null || true; fi
  stop_relay
  for pid in "${sink_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  if [ -n "$work" ]; then
    if [ "${KEEP:-0}" = 1 ] || [ -n "${PERF:-}" ]; then echo "kept $work"; else rm -rf "$work"; fi
  fi
}
trap cleanup EXIT

ticks_per_second=$(getconf CLK_TCK)
failed=0
end_to_end_rate=

# The figure named $2 from the summary line in $1.
summary_value() { sed -n "s/^summary .*\\b$2=\\([0-9.]*\\).*/\\1/p" "$1"; }

run_case() {
  local name=$1 size articles rate= backlog=0 narrow=()
  case $name in
    small) size=2048; articles=$SMALL_ARTICLES ;;
    small-narrow) size=2048; articles=$SMALL_ARTICLES; narrow=(127.0.0.4 127.0.0.5 127.0.0.6 127.0.0.7) ;;
    large) size=262144; articles=$LARGE_ARTICLES ;;
    small-backlog) size=2048; articles=$SMALL_BACKLOG_ARTICLES; backlog=1 ;;
    large-backlog) size=262144; articles=$LARGE_ARTICLES; backlog=1 ;;
    latency) size=2048; articles=$LATENCY_ARTICLES; rate=${RATE:-${end_to_end_rate:-15000}} ;;
    *) echo "unknown case $name" >&2; failed=1; return ;;
  esac
  local per=$((articles / CONNECTIONS))
  local total=$((per * CONNECTIONS))
  local expected=$((total + backlog))  # the backlog cases' first article too
  local first_id=first.$$.$(date +%s)
  work=$(mktemp -d "/tmp/veltrane-relay-$name.XXXXXX")
  local port site_ports=() sinks=(127.0.0.2 127.0.0.3)
  [ "$LOOPBACK" = ::1 ] && sinks=(::1 "[::1]")
  port=$(pick_port)
  sink_pids=()
  for i in 0 1; do
    site_ports[i]=$(pick_port)
    "$sink_bin" --host "${sinks[i]}" --port "${site_ports[i]}" --expect "$expected" --time-limit "$TIME_LIMIT" \
      >"$work/sink$i.out" 2>&1 &
    sink_pids[i]=$!
    wait_listening "${site_ports[i]}" 100 || { echo "sink ${sinks[i]} not listening" >&2; exit 1; }
  done
  # The narrow sites' sinks get nothing; they are ended with the case.
  local narrow_ports=() narrow_pids=()
  for i in "${!narrow[@]}"; do
    narrow_ports[i]=$(pick_port)
    "$sink_bin" --host "${narrow[i]}" --port "${narrow_ports[i]}" --time-limit "$TIME_LIMIT" >/dev/null 2>&1 &
    narrow_pids[i]=$!
    sink_pids+=("${narrow_pids[i]}")
    wait_listening "${narrow_ports[i]}" 100 || { echo "sink ${narrow[i]} not listening" >&2; exit 1; }
  done
  write_relay_config "$work" "$port"
  echo "MaxBacklog = $MAX_BACKLOG" >>"$work/relay.conf"
  {
    echo "AddIncoming $LOOPBACK"
    for i in 0 1; do
      echo "CreateSite {${sinks[i]}} ${site_ports[i]}"
      echo "SetSite {${sinks[i]}} distribution *"
      echo "SetSite {${sinks[i]}} RegularFeedPrefetch 29"
      # The site command takes up to 200000; more comes from MaxBacklog.
      [ "$MAX_BACKLOG" -gt 200000 ] || echo "SetSite {${sinks[i]}} maxbacklog $MAX_BACKLOG"
    done
    for i in "${!narrow[@]}"; do
      echo "CreateSite ${narrow[i]} ${narrow_ports[i]}"
      echo "SetSite ${narrow[i]} distribution no.such.group"
      for _ in $(seq "$FEEDERS"); do echo "SetSite ${narrow[i]} createfeeder f"; done
    done
    local start=
    [ "$backlog" = 1 ] && start=",$first_id.000.000000000000@loadgen.invalid"
    echo "proc createFeeders {} {"
    for i in 0 1; do
      for _ in $(seq "$FEEDERS"); do echo "  SetSite {${sinks[i]}} createfeeder f$start"; done
    done
    echo "}"
    if [ "$backlog" = 1 ]; then
      echo "proc createFeedersWhenLoaded {} {"
      echo "  if {[file exists {$work/loaded}]} createFeeders else {after 20 createFeedersWhenLoaded}"
      echo "}"
      echo "createFeedersWhenLoaded"
    else
      echo "createFeeders"
    fi
    echo "close [open {$work/script-done} w]"
  } >"$work/init.tcl"
  start_relay "$work" "$port"

  echo
  echo "== $name: $total articles of $size bytes, $CONNECTIONS connections in, 2 sites x $FEEDERS feeders out${rate:+, paced at $rate/s}${narrow[0]:+, ${#narrow[@]} sites that want none}"
  if [ "${PERF:-}" = "$name" ]; then
    perf record -e cpu-clock -F ${PERF_HZ:-2000} ${PERF_CALLS:--g} -p "$relay_pid" -o "$work/perf.data" >"$work/perf.out" 2>&1 &
    perf_pid=$!
    sleep 1
  fi
  local before after machine_before machine_after rc=0
  warm_memory "$work" $((total * size))
  if [ "$backlog" = 1 ]; then
    "$loadgen_bin" --host "$LOOPBACK" --port "$port" --connections 1 --articles 1 --size "$size" \
      --run-prefix "$first_id" >/dev/null || rc=$?
  fi
  before=$(relay_ticks)
  machine_before=$(machine_ticks)
  "$loadgen_bin" --host "$LOOPBACK" --port "$port" --connections "$CONNECTIONS" --articles "$per" --size "$size" \
    --mode takethis --window "$WINDOW" --time-limit "$TIME_LIMIT" ${rate:+--rate "$rate"} \
    --run-prefix "$name.$$.$(date +%s)" >"$work/loadgen.out" || rc=$?
  touch "$work/loaded"
  local sink_rc=(0 0)
  for i in 0 1; do wait "${sink_pids[i]}" || sink_rc[i]=$?; done
  after=$(relay_ticks)
  machine_after=$(machine_ticks)
  for pid in "${narrow_pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  sink_pids=()
  if [ -n "$perf_pid" ]; then
    kill -INT "$perf_pid" 2>/dev/null || true
    wait "$perf_pid" 2>/dev/null || true
    perf_pid=
    echo "perf data: $work/perf.data (perf report -i $work/perf.data --no-children)"
  fi
  echo "-- in (veltrane-loadgen)"
  grep -v '^summary\|^mode' "$work/loadgen.out"
  local slowest=
  for i in 0 1; do
    echo "-- out to site ${sinks[i]} (veltrane-sink)"
    grep -v '^summary' "$work/sink$i.out"
    local out_rate
    out_rate=$(summary_value "$work/sink$i.out" articles_per_s)
    if [ -z "$slowest" ] || awk -v a="$out_rate" -v b="$slowest" 'BEGIN { exit !(a < b) }'; then slowest=$out_rate; fi
    [ "${sink_rc[i]}" = 0 ] || { echo "FAILED: $name: site ${sinks[i]} (exit ${sink_rc[i]})"; failed=1; }
  done
  awk -v b="$before" -v a="$after" -v hz="$ticks_per_second" -v n="$total" \
    -v busy="$(machine_busy "$machine_before" "$machine_after")" 'BEGIN {
    printf "relay cpu   %.2f s, %.3f s per 10,000 articles; machine busy %s%% of all cores\n",
           (a - b) / hz, (a - b) / hz / n * 10000, busy }'
  local accepted
  accepted=$(summary_value "$work/loadgen.out" accepted)
  if [ "$rc" != 0 ] || [ "$accepted" != "$total" ]; then
    echo "FAILED: $name (loadgen exit $rc, $accepted of $total accepted)"
    failed=1
  fi
  if [ "$name" = small ]; then
    local in_rate
    in_rate=$(summary_value "$work/loadgen.out" articles_per_s)
    end_to_end_rate=$(awk -v a="$in_rate" -v b="$slowest" 'BEGIN { r = a < b ? a : b; printf "%d", r / 2 }')
  fi
  stop_relay
  if [ "${KEEP:-0}" = 1 ] || [ -n "${PERF:-}" ]; then echo "kept $work"; else rm -rf "$work"; fi
  work=
}

for c in "${cases[@]}"; do run_case "$c"; done
exit $failed
