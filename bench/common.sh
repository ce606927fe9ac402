# Shared by the benchmark scripts (sourced, not run): building the
# programs, free loopback ports, and a relay started in console mode in a
# temporary folder and stopped again. Every wait is bounded.
#
# LOOPBACK (127.0.0.1, or ::1 to measure over IPv6) is the address the
# relay listens on and its peer connects from.
LOOPBACK=${LOOPBACK:-127.0.0.1}

# Builds the relay and the load tools (RelWithDebInfo) in $BUILD_DIR and
# sets relay_bin, loadgen_bin and sink_bin.
build_programs() {
  cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$BUILD_DIR" -j 2 --target veltrane veltrane-loadgen veltrane-sink >/dev/null
  relay_bin=${RELAY_BIN:-$PWD/$BUILD_DIR/veltrane}
  loadgen_bin=$PWD/$BUILD_DIR/tools/loadgen/veltrane-loadgen
  sink_bin=$PWD/$BUILD_DIR/tools/sink/veltrane-sink
}

# True when some socket listens on TCP port $1 (any local address, either
# family).
port_listening() {
  awk -v p=":$(printf '%04X' "$1")" '$4 == "0A" && substr($2, length($2) - 4) == p { found = 1 } END { exit !found }' \
    /proc/net/tcp /proc/net/tcp6
}

# A loopback port nobody listens on.
pick_port() {
  local port
  for _ in $(seq 50); do
    port=$((20000 + RANDOM % 40000))
    if ! port_listening "$port"; then
      echo "$port"
      return
    fi
  done
  echo "no free port found" >&2
  exit 1
}

# Waits up to $2 tenths of a second for port $1 to listen.
wait_listening() {
  for _ in $(seq "$2"); do port_listening "$1" && return 0; sleep 0.1; done
  return 1
}

# Writes $1/relay.conf for a relay listening on $LOOPBACK:$2 that runs the
# start-up script $1/init.tcl, with the databases sized for volume.
write_relay_config() {
  mkdir -p "$1/spool" "$1/history" "$1/logs"
  cat >"$1/relay.conf" <<CONF
HostPathIdentifier = bench.relay
ArticleBasePath = $1/spool
MaxArticleFileSize = ${FILE_SIZE:-1073741824}
MaxArticleAge = 7
MaxKeepFileCount = 10000
HistoryTablePath = $1/history
HistoryDataPath = $1/history
HistoryTableSize = 2097167
HistoryDataSize = 314572800
SiteRecordPath = $1/history
SeenTableSize = 1000003
SeenDataCount = 1000000
PrecommitHashSize = 1000003
MaxPrecommitAge = 30000
ListenAddress = $LOOPBACK
ListenPort = $2
MaxIncomingConnections = 350
LogDirectory = $1/logs
StartupScript = $1/init.tcl
CONF
}

# Starts the relay of folder $1 (listening on port $2) and waits until its
# start-up script has run ($1/script-done) and it listens; sets relay_pid.
# RELAY_WRAPPER runs it under a tool, e.g. "valgrind --tool=callgrind".
start_relay() {
  # shellcheck disable=SC2086
  VELTRANE_CONFIG=$1/relay.conf NOTIFY_SOCKET= ${RELAY_WRAPPER:-} "$relay_bin" -debug >"$1/relay.out" 2>&1 &
  relay_pid=$!
  for _ in $(seq 600); do
    [ -e "$1/script-done" ] && port_listening "$2" && return 0
    kill -0 "$relay_pid" 2>/dev/null || { cat "$1/relay.out"; echo "relay ended at start-up" >&2; exit 1; }
    sleep 0.1
  done
  echo "relay not ready after 60 s" >&2
  exit 1
}

# Stops the relay (SIGINT, then SIGKILL after 10 s).
stop_relay() {
  [ -n "${relay_pid:-}" ] && kill -0 "$relay_pid" 2>/dev/null || return 0
  kill -INT "$relay_pid" 2>/dev/null || true
  for _ in $(seq 100); do kill -0 "$relay_pid" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$relay_pid" 2>/dev/null || true
  wait "$relay_pid" 2>/dev/null || true
  relay_pid=
}

# User + system clock ticks of every thread of the relay so far.
relay_ticks() { awk '{ sub(/^.*\) /, ""); print $12 + $13 }' "/proc/$relay_pid/stat"; }

# Busy and total clock ticks of the whole machine so far.
machine_ticks() { awk '/^cpu / { print $2 + $3 + $4 + $7 + $8, $2 + $3 + $4 + $5 + $6 + $7 + $8 }' /proc/stat; }

# The share of all cores busy between two machine_ticks readings, in %.
machine_busy() {
  awk -v mb="$1" -v ma="$2" 'BEGIN { split(mb, m0, " "); split(ma, m1, " ")
    printf "%.0f", (m1[2] > m0[2]) ? 100 * (m1[1] - m0[1]) / (m1[2] - m0[2]) : 0 }'
}

# Unless WARM=0, writes and deletes $2 bytes in folder $1 before a case.
# The spool's page cache then comes from memory the machine has already
# backed, as on a relay that has run a while and recycles its page cache.
# In a virtual machine whose host takes unused memory back, each fresh page
# otherwise costs a fault in the host, which the case would measure: a
# first write of 1 GB into a new file ran at 0.35 GB/s here, the same
# right after at 5 GB/s.
warm_memory() {
  [ "${WARM:-1}" = 1 ] || return 0
  dd if=/dev/zero of="$1/warm" bs=1M count=$(($2 / 1048576 + 1)) status=none
  rm -f "$1/warm"
}
