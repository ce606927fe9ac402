#!/usr/bin/env bash
# Delivery measurement (not a test): of the articles a relay acknowledged
# (239 to veltrane-loadgen), how many never reached each outgoing site,
# and how many reached a site twice, when sites pause and the relay is
# stopped or killed under load.
#
#   bash bench/promise.sh [SCENARIO...]
#
# Each scenario gets a fresh temporary folder with a relay (bench/common.sh)
# and two sites, A and B: a veltrane-sink each on 127.0.0.2 and 127.0.0.3,
# distribution "*", two streaming feeders. The start-up script lists
# 127.0.0.1 as a peer before it creates the sites, and touches script-done
# at its end. A sink is one process for the whole scenario, so it outlives
# the relay's restarts; it lists every distinct Message-ID it received
# (--ids), and veltrane-loadgen lists every Message-ID the relay
# acknowledged (--acked), even when a kill breaks its connections. Pausing
# site A is a SIGSTOP of its sink, resuming it a SIGCONT. A restart starts
# the relay again on the same folder and start-up script.
#
# Scenarios (default: all five):
#   clean-stop    A paused; 24,000 articles at 4,000/s; the relay stopped
#                 cleanly (stop_relay) and started again; A resumed; A has
#                 "SetSite A maxbacklog 200000".
#   kill-paused   MaxBacklog 3000000; A paused; load at 2,000/s; five times
#                 the relay is SIGKILLed after 3 s and started again, the
#                 load going on; a last 3 s of load; A resumed.
#   kill-running  both sites running; load at 3,000/s; ten SIGKILLs 3 s
#                 apart, each followed by a restart; a last 3 s of load.
#   outage        A paused for 30 s of load at 2,000/s (default MaxBacklog,
#                 5000); A resumed.
#   defer         sink A answers "431 <id>" to every 10th check of a new
#                 article; MaxPrecommitAge 2000, MaxBacklog 3000000 (so that
#                 only deferrals count); 20,000 articles as fast as
#                 they go.
# After the load every scenario drains: it waits until both sinks hold
# every acknowledged article, or their counts have not grown for $QUIET
# seconds, at most $DRAIN seconds. Then the relay's metrics page is
# scraped for veltrane_site_passed_over_total per site ("-" when the relay
# has no such metric; the counters start again at every restart, so they
# cover the last run only).
#
# Printed: per scenario the load phases, what each sink received, what
# arrived without an acknowledgement (extra), then a table of all:
# acknowledged, missing at A, missing at B, repeats at A, repeats at B
# (articles whose text reached the sink again), passed over A/B.
#
# Settings from the environment: TIME_LIMIT (seconds per scenario, 180;
# loads, drains and the sinks are bounded by it), DRAIN (60), QUIET (5),
# CONNECTIONS (loadgen connections, 4), SIZE (article bytes, 2048),
# BUILD_DIR (build-promise), RELAY_BIN, KEEP=1 to keep the temporary
# folders. Exit code 0 when every scenario ran (whatever it measured).
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${BUILD_DIR:-build-promise}
TIME_LIMIT=${TIME_LIMIT:-180}
DRAIN=${DRAIN:-60}
QUIET=${QUIET:-5}
CONNECTIONS=${CONNECTIONS:-4}
SIZE=${SIZE:-2048}
export LC_ALL=C
scenarios=("$@")
[ ${#scenarios[@]} -gt 0 ] || scenarios=(clean-stop kill-paused kill-running outage defer)
for s in "${scenarios[@]}"; do
  case $s in
    clean-stop | kill-paused | kill-running | outage | defer) ;;
    *) echo "unknown scenario $s (clean-stop kill-paused kill-running outage defer)" >&2; exit 2 ;;
  esac
done

# shellcheck source=bench/common.sh
. bench/common.sh
build_programs

sites=(127.0.0.2 127.0.0.3)
work=
relay_pid=
loadgen_pid=
sink_pids=()
results=$(mktemp /tmp/veltrane-promise-results.XXXXXX)

# Resumes and ends the sinks (a stopped process takes SIGTERM only once
# continued), then waits for them: each writes its summary and ids file.
end_sinks() {
  local pid
  for pid in "${sink_pids[@]}"; do
    kill -CONT "$pid" 2>/dev/null || true
    kill -TERM "$pid" 2>/dev/null || true
  done
  for pid in "${sink_pids[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  sink_pids=()
}

cleanup() {
  if [ -n "$loadgen_pid" ]; then kill "$loadgen_pid" 2>/dev/null || true; wait "$loadgen_pid" 2>/dev/null || true; fi
  loadgen_pid=
  stop_relay
  end_sinks
  if [ -n "$work" ]; then
    if [ "${KEEP:-0}" = 1 ]; then echo "kept $work"; else rm -rf "$work"; fi
  fi
  rm -f "$results"
}
trap cleanup EXIT

# Seconds left of the scenario (at least 1).
left() { local l=$((deadline - SECONDS)); [ "$l" -gt 0 ] && echo "$l" || echo 1; }
now() { date +%s.%N; }

restart_relay() {
  rm -f "$work/script-done"
  start_relay "$work" "$port"
  restarts=$((restarts + 1))
}

kill_relay() {
  kill -KILL "$relay_pid" 2>/dev/null || true
  wait "$relay_pid" 2>/dev/null || true
  relay_pid=
}

# Starts load phase $1 in the background: $2 articles in all at $3 per
# second (0: as fast as they go); sets loadgen_pid.
start_load() {
  local phase=$1 total=$2 rate=$3
  local per=$(((total + CONNECTIONS - 1) / CONNECTIONS))
  local limit rate_option=()
  limit=$(left)
  if [ "$rate" -gt 0 ]; then rate_option=(--rate "$rate"); fi
  "$loadgen_bin" --host 127.0.0.1 --port "$port" --connections "$CONNECTIONS" --articles "$per" --size "$SIZE" \
    --mode takethis --time-limit "$limit" "${rate_option[@]}" \
    --run-prefix "$name.$$.$phase" --acked "$work/acked.$phase" >"$work/loadgen.$phase.out" 2>&1 &
  loadgen_pid=$!
}

# Waits for the load phase $1 (bounded by its time limit) and prints its line.
wait_load() {
  wait "$loadgen_pid" 2>/dev/null || true
  loadgen_pid=
  local accepted replies errors
  accepted=$(sed -n 's/^summary .*\baccepted=\([0-9]*\).*/\1/p' "$work/loadgen.$1.out")
  replies=$(sed -n 's/^replies *//p' "$work/loadgen.$1.out")
  errors=$(grep -c '^error' "$work/loadgen.$1.out" || true)
  printf '  load %-8s accepted %-6s replies %s%s\n' "$1" "${accepted:-?}" "$replies" \
    "$([ "$errors" -gt 0 ] && echo " ($errors connection errors)")"
}

# Runs load phase $1 ($2 articles at $3/s) in the foreground.
run_load() { start_load "$@"; wait_load "$1"; }

# Runs load phase $1 at $2/s and SIGKILLs the relay after $3 seconds, then
# restarts it.
load_then_kill() {
  start_load "$1" $(($2 * ($3 + 10))) "$2"
  sleep "$3"
  kill_relay
  wait_load "$1"
  restart_relay
}

pause_a() { kill -STOP "${sink_pids[0]}"; }
resume_a() { kill -CONT "${sink_pids[0]}"; }

lines() { if [ -e "$1" ]; then wc -l <"$1"; else echo 0; fi; }

# All acknowledged Message-IDs, sorted, in $work/acked.all.
gather_acked() { cat "$work"/acked.* 2>/dev/null | grep -v '^$' | sort -u >"$work/acked.all.tmp" || true; mv "$work/acked.all.tmp" "$work/acked.all"; }

# Acknowledged articles not in sink $1's ids file.
missing_at() {
  sort -u "$work/ids$1" >"$work/ids$1.sorted"
  comm -23 "$work/acked.all" "$work/ids$1.sorted" | wc -l
}

# Waits until both sinks hold every acknowledged article, or neither count
# grew for QUIET seconds, at most DRAIN seconds (and the scenario's time).
drain() {
  gather_acked
  local acked
  acked=$(lines "$work/acked.all")
  local a b last_a=-1 last_b=-1 quiet=0 started=$SECONDS limit=$DRAIN
  [ "$(left)" -lt "$limit" ] && limit=$(left)
  while [ $((SECONDS - started)) -lt "$limit" ]; do
    a=$(lines "$work/ids0")
    b=$(lines "$work/ids1")
    if [ "$a" -ge "$acked" ] && [ "$b" -ge "$acked" ] && [ "$(missing_at 0)" = 0 ] && [ "$(missing_at 1)" = 0 ]; then
      echo "  drain     complete after $((SECONDS - started)) s"
      return
    fi
    if [ "$a" = "$last_a" ] && [ "$b" = "$last_b" ]; then
      quiet=$((quiet + 1))
      if [ "$quiet" -ge "$QUIET" ]; then
        echo "  drain     counts still for $QUIET s, stopped after $((SECONDS - started)) s"
        return
      fi
    else
      quiet=0
    fi
    last_a=$a
    last_b=$b
    sleep 1
  done
  echo "  drain     stopped at its limit ($limit s)"
}

# veltrane_site_passed_over_total summed per site: "A/B", or "-" when the
# page has no such family.
passed_over() {
  python3 - "$metrics_port" "${sites[@]}" <<'PY' || echo "-"
import re, sys, urllib.request
port, names = sys.argv[1], sys.argv[2:]
opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
try:
    body = opener.open("http://127.0.0.1:%s/metrics" % port, timeout=5).read().decode()
except Exception:
    print("-")
    sys.exit(0)
sums, seen = {}, False
for line in body.splitlines():
    if not line.startswith("veltrane_site_passed_over_total"):
        continue
    seen = True
    m = re.search(r'site="([^"]*)"', line)
    if m:
        sums[m.group(1)] = sums.get(m.group(1), 0) + float(line.rsplit(" ", 1)[1])
print("/".join("%d" % sums.get(n, 0) for n in names) if seen else "-")
PY
}

run_scenario() {
  name=$1
  deadline=$((SECONDS + TIME_LIMIT))
  restarts=0
  work=$(mktemp -d "/tmp/veltrane-promise-$name.XXXXXX")
  port=$(pick_port)
  metrics_port=$(pick_port)
  local site_ports=() i
  sink_pids=()
  for i in 0 1; do
    site_ports[i]=$(pick_port)
    local extra=()
    [ "$name" = defer ] && [ "$i" = 0 ] && extra=(--defer-every 10)
    "$sink_bin" --host "${sites[i]}" --port "${site_ports[i]}" --expect 1000000000 \
      --time-limit $((TIME_LIMIT + 60)) --ids "$work/ids$i" "${extra[@]}" >"$work/sink$i.out" 2>&1 &
    sink_pids[i]=$!
    wait_listening "${site_ports[i]}" 100 || { echo "sink ${sites[i]} not listening" >&2; exit 1; }
  done
  write_relay_config "$work" "$port"
  echo "MetricsListen = 127.0.0.1:$metrics_port" >>"$work/relay.conf"
  case $name in
    kill-paused) echo "MaxBacklog = 3000000" >>"$work/relay.conf" ;;
    defer)
      sed -i 's/^MaxPrecommitAge = .*/MaxPrecommitAge = 2000/' "$work/relay.conf"
      echo "MaxBacklog = 3000000" >>"$work/relay.conf"  # deferrals alone, not the backlog limit
      ;;
  esac
  {
    echo "AddIncoming 127.0.0.1"
    for i in 0 1; do
      echo "CreateSite ${sites[i]} ${site_ports[i]}"
      echo "SetSite ${sites[i]} distribution *"
      [ "$name" = clean-stop ] && [ "$i" = 0 ] && echo "SetSite ${sites[i]} maxbacklog 200000"
      echo "SetSite ${sites[i]} createfeeder f"
      echo "SetSite ${sites[i]} createfeeder f"
    done
    echo "close [open {$work/script-done} w]"
  } >"$work/init.tcl"
  start_relay "$work" "$port"

  echo
  echo "== $name ($work)"
  local k t0 t1
  case $name in
    clean-stop)
      pause_a
      run_load 1 24000 4000
      t0=$(now)
      stop_relay
      t1=$(now)
      awk -v a="$t0" -v b="$t1" 'BEGIN { printf "  stop      took %.1f s%s\n", b - a, (b - a >= 10 ? " (SIGKILL after 10 s: not clean)" : "") }'
      restart_relay
      resume_a
      ;;
    kill-paused)
      pause_a
      for k in 1 2 3 4 5; do load_then_kill "$k" 2000 3; done
      run_load 6 6000 2000
      resume_a
      ;;
    kill-running)
      for k in $(seq 10); do load_then_kill "$k" 3000 3; done
      run_load 11 9000 3000
      ;;
    outage)
      pause_a
      run_load 1 60000 2000
      resume_a
      ;;
    defer)
      run_load 1 20000 0
      ;;
  esac
  drain
  local over
  over=$(passed_over)
  stop_relay
  end_sinks
  gather_acked
  local acked miss=() rep=() got=() extra=()
  acked=$(lines "$work/acked.all")
  for i in 0 1; do
    miss[i]=$(missing_at "$i")
    got[i]=$(lines "$work/ids$i.sorted")
    extra[i]=$(comm -13 "$work/acked.all" "$work/ids$i.sorted" | wc -l)
    rep[i]=$(sed -n 's/^summary .*\brepeats=\([0-9]*\).*/\1/p' "$work/sink$i.out")
    printf '  site %s  received %s, missing %s of %s acknowledged, %s not acknowledged (extra), repeats %s%s\n' \
      "$([ "$i" = 0 ] && echo A || echo B)" "${got[i]}" "${miss[i]}" "$acked" "${extra[i]}" "${rep[i]:-?}" \
      "$(sed -n 's/^deferred *\(.*\)/, deferred: \1/p' "$work/sink$i.out")"
  done
  echo "  relay     $restarts restarts; passed over (A/B, last run): $over"
  grep -h "passed over\|throttled\|answered for" "$work"/logs/*.log 2>/dev/null | sed 's/^/  log: /' | sort | uniq -c |
    sort -rn | head -5 || true
  printf '%s %s %s %s %s %s %s\n' "$name" "$acked" "${miss[0]}" "${miss[1]}" "${rep[0]:-?}" "${rep[1]:-?}" "$over" \
    >>"$results"
  if [ "${KEEP:-0}" = 1 ]; then echo "kept $work"; else rm -rf "$work"; fi
  work=
}

for s in "${scenarios[@]}"; do run_scenario "$s"; done

echo
printf '%-13s %12s %10s %10s %10s %10s %12s\n' scenario acknowledged "missing A" "missing B" "repeats A" \
  "repeats B" "passed A/B"
while read -r s a ma mb ra rb over; do
  printf '%-13s %12s %10s %10s %10s %10s %12s\n' "$s" "$a" "$ma" "$mb" "$ra" "$rb" "$over"
done <"$results"
