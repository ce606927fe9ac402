#!/usr/bin/env bash
# Soak: a relay under a full house of peers and two sites for a bounded
# time, then a check that nothing leaked and that every count adds up.
#
#   SOAK_SECONDS=600 bash bench/soak.sh
#
# Two veltrane-sink receivers (127.0.0.2, 127.0.0.3) are the relay's sites,
# with $FEEDERS streaming feeders each. Round after round until
# $SOAK_SECONDS have passed, three veltrane-loadgen runs at once fill the
# relay's 350 connections (MaxIncomingConnections): 120 by takethis, 120 by
# check, 110 by ihave, all on the same Message-IDs, so every article is
# offered on three connections at once; meanwhile $PROBES connections from
# an unlisted address (127.0.0.3) are refused. After the last round the
# sites drain, and the run fails unless:
#   - for the peer, accepted + refused + rejected + deferred = offered;
#   - for each site, accepts + refused + rejects = articles flagged for it;
#   - each sink got every article the relay accepted, none twice;
#   - the relay's descriptors and threads are back to where they were
#     after the first round, and its anonymous memory (heap and stacks; the
#     databases' mapped pages grow with the history, by design) grew by at
#     most $MAX_GROWTH_KIB.
# It prints the figures: rounds, articles per second in and out, peak
# resident memory, descriptors and threads.
#
# Settings: SOAK_SECONDS (600), PER_CONNECTION (articles per connection and
# round, 40), FEEDERS (3), PROBES (20), MAX_GROWTH_KIB (65536), BUILD_DIR,
# RELAY_BIN, LOADGEN_BIN and SINK_BIN (prebuilt programs: nothing is built
# when all three are given), KEEP=1.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${BUILD_DIR:-build}
SOAK_SECONDS=${SOAK_SECONDS:-600}
PER_CONNECTION=${PER_CONNECTION:-40}
FEEDERS=${FEEDERS:-3}
PROBES=${PROBES:-20}
MAX_GROWTH_KIB=${MAX_GROWTH_KIB:-65536}

# shellcheck source=bench/common.sh
. bench/common.sh
if [ -n "${RELAY_BIN:-}" ] && [ -n "${LOADGEN_BIN:-}" ] && [ -n "${SINK_BIN:-}" ]; then
  relay_bin=$RELAY_BIN loadgen_bin=$LOADGEN_BIN sink_bin=$SINK_BIN
else
  build_programs
fi

work=$(mktemp -d /tmp/veltrane-soak.XXXXXX)
relay_pid=
sink_pids=()
cleanup() {
  stop_relay
  for pid in "${sink_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  if [ "${KEEP:-0}" = 1 ]; then echo "kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

port=$(pick_port)
sinks=(127.0.0.2 127.0.0.3)
site_ports=()
for i in 0 1; do
  site_ports[i]=$(pick_port)
  "$sink_bin" --host "${sinks[i]}" --port "${site_ports[i]}" --expect 4000000000 \
    --time-limit $((SOAK_SECONDS + 600)) >"$work/sink$i.out" 2>&1 &
  sink_pids[i]=$!
  wait_listening "${site_ports[i]}" 100 || { echo "sink not listening" >&2; exit 1; }
done
write_relay_config "$work" "$port"
{
  echo "AddIncoming 127.0.0.1"
  echo "SetIncoming 127.0.0.1 max_connections 1000"
  for i in 0 1; do
    echo "CreateSite ${sinks[i]} ${site_ports[i]}"
    echo "SetSite ${sinks[i]} distribution *"
    echo "SetSite ${sinks[i]} maxbacklog 200000"
    for _ in $(seq "$FEEDERS"); do echo "SetSite ${sinks[i]} createfeeder f"; done
  done
  echo "close [open {$work/script-done} w]"
} >"$work/init.tcl"
start_relay "$work" "$port"

# The statistics text, from "ssp".
statistics() {
  exec 3<>"/dev/tcp/127.0.0.1/$port"
  local line
  read -r line <&3
  printf 'ssp\r\n' >&3
  read -r line <&3
  exec 3>&-
  echo "$line"
}
# The number of "{KEY N}" first met after the text MARK in $1.
value_after() {
  local rest=${1#*"$2"}
  [[ $rest =~ \{$3\ ([0-9]+)\} ]] && echo "${BASH_REMATCH[1]}"
}
peer_value() { value_after "$1" "{{host 127.0.0.1}" "$2"; }
site_value() { value_after "$1" "{site $2}" "$3"; }
# Anonymous resident memory (heap, stacks): the databases' mapped file
# pages are resident too, and grow as the history fills, by design.
anonymous_kib() { awk '/^RssAnon:/ { print $2 }' "/proc/$relay_pid/status"; }
peak_kib() { awk '/^VmHWM:/ { print $2 }' "/proc/$relay_pid/status"; }
descriptors() { ls "/proc/$relay_pid/fd" | wc -l; }
threads() { ls "/proc/$relay_pid/task" | wc -l; }

# Connections from an unlisted address, each refused with 502.
probe_refusals() {
  python3 - "$port" "$PROBES" <<'PY'
import socket, sys
port, count, refused = int(sys.argv[1]), int(sys.argv[2]), 0
for _ in range(count):
    s = socket.socket()
    s.settimeout(5)
    s.bind(("127.0.0.3", 0))
    s.connect(("127.0.0.1", port))
    if s.makefile("rb").readline().startswith(b"502 "):
        refused += 1
    s.close()
print(refused)
PY
}

rounds=0 offered=0 distinct=0 refused=0
baseline_fds= baseline_threads= baseline_kib=
began=$(date +%s)
while [ "$rounds" = 0 ] || [ $(($(date +%s) - began)) -lt "$SOAK_SECONDS" ]; do
  prefix="soak$rounds.$$"
  pids=()
  for load in takethis:120 check:120 ihave:110; do
    "$loadgen_bin" --host 127.0.0.1 --port "$port" --connections "${load#*:}" --articles "$PER_CONNECTION" \
      --size 2048 --mode "${load%%:*}" --window 64 --time-limit 300 --run-prefix "$prefix" \
      >"$work/round-${load%%:*}.out" 2>&1 &
    pids+=($!)
  done
  refused=$((refused + $(probe_refusals)))
  for i in 0 1 2; do
    wait "${pids[i]}" || { echo "round $rounds: load generator failed"; cat "$work"/round-*.out; exit 1; }
  done
  for mode in takethis check ihave; do
    offered=$((offered + $(sed -n 's/^summary .* answered=\([0-9]*\) .*/\1/p' "$work/round-$mode.out")))
  done
  distinct=$((distinct + 120 * PER_CONNECTION))
  rounds=$((rounds + 1))
  if [ "$rounds" = 1 ]; then
    # Threads of the connections of the first round may still be ending.
    for _ in $(seq 50); do [ "$(threads)" -le $((FEEDERS * 2 + 10)) ] && break; sleep 0.1; done
    baseline_fds=$(descriptors) baseline_threads=$(threads) baseline_kib=$(anonymous_kib)
  fi
done
soaked=$(($(date +%s) - began))

# The sites drain: every article flagged for them answered.
drained() {
  local s
  s=$(statistics)
  for site in "${sinks[@]}"; do
    local answered=$(($(site_value "$s" "$site" accepts) + $(site_value "$s" "$site" refused) + $(site_value "$s" "$site" rejects)))
    [ "$answered" = "$(site_value "$s" "$site" flagged_for)" ] || return 1
  done
}
for _ in $(seq 600); do drained && break; sleep 0.1; done
for _ in $(seq 50); do [ "$(threads)" -le "$baseline_threads" ] && break; sleep 0.1; done
stats=$(statistics)
for pid in "${sink_pids[@]}"; do kill -TERM "$pid"; wait "$pid" || true; done
sink_pids=()

failed=0
check() { if [ "$2" = "$3" ]; then echo "ok   $1: $2"; else echo "FAIL $1: $2, expected $3"; failed=1; fi; }
peer_total=$(($(peer_value "$stats" accepts) + $(peer_value "$stats" refused) + $(peer_value "$stats" rejected) +
  $(peer_value "$stats" precommit_saves)))
check "peer accepted + refused + rejected + deferred" "$peer_total" "$offered"
check "peer accepted" "$(peer_value "$stats" accepts)" "$distinct"
for i in 0 1; do
  site=${sinks[i]}
  answered=$(($(site_value "$stats" "$site" accepts) + $(site_value "$stats" "$site" refused) +
    $(site_value "$stats" "$site" rejects)))
  check "site $site answered" "$answered" "$(site_value "$stats" "$site" flagged_for)"
  check "site $site articles at the sink" "$(sed -n 's/^summary articles=\([0-9]*\) .*/\1/p' "$work/sink$i.out")" "$distinct"
  check "site $site repeats at the sink" "$(sed -n 's/^summary .* repeats=\([0-9]*\) .*/\1/p' "$work/sink$i.out")" 0
done
check "descriptors" "$(descriptors)" "$baseline_fds"
check "threads" "$(threads)" "$baseline_threads"
growth=$(($(anonymous_kib) - baseline_kib))
if [ "$growth" -le "$MAX_GROWTH_KIB" ]; then echo "ok   anonymous memory growth: $growth KiB"; else
  echo "FAIL anonymous memory growth: $growth KiB, at most $MAX_GROWTH_KIB"; failed=1; fi
check "refused probes" "$refused" $((PROBES * rounds))
echo "soak: $rounds rounds in $soaked s, 350 connections a round; $offered offers, $distinct articles in" \
  "($((offered / (soaked > 0 ? soaked : 1))) offers/s, $((distinct / (soaked > 0 ? soaked : 1))) articles/s," \
  "each out to 2 sites); peak resident $(peak_kib) KiB, anonymous $(anonymous_kib) KiB at the end" \
  "(after the first round $baseline_kib); $(descriptors) descriptors, $(threads) threads"
exit $failed
