#!/usr/bin/env bash
# The Debian package, end to end, on this machine (as root; CI runs it):
# builds it (scripts/build-deb.sh), checks it with lintian and its unit with
# systemd-analyze, installs it, runs the installed relay as the user veltrane
# with the packaged configuration in console mode, feeds it through a listed
# peer and drives it with veltrane-ctl, upgrades it over an edited start-up
# script, then purges it and checks that nothing of it is left but the
# system user, which Debian keeps. (scripts/check-unit.sh runs the installed
# unit under systemd, sandbox and all, by hand.)
#
# It refuses to run where veltrane is already installed, and it puts the
# machine back as it found it: the package purged, the user removed if the
# test made it, no relay left running.
set -euo pipefail
cd "$(dirname "$0")/../.."
root_dir=$PWD

fail() { echo "package test: FAILED: $*" >&2; exit 1; }
step() { echo "== package: $*"; }

[[ $(id -u) == 0 ]] || fail "run as root: it installs and purges the package"
if dpkg-query -W -f='${Status}' veltrane 2>/dev/null | grep -q 'installed\|config-files'; then
  fail "veltrane is installed on this machine; purge it first (this test installs and purges it)"
fi

work=$(mktemp -d)
relay_pid=""
installed=0
user_existed=0
getent passwd veltrane >/dev/null && user_existed=1
cleanup() {
  local code=$?
  if [[ -n $relay_pid ]] && kill -0 "$relay_pid" 2>/dev/null; then
    kill -TERM "$relay_pid" 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "$relay_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$relay_pid" 2>/dev/null || true
  fi
  if ((installed)); then dpkg --purge veltrane >/dev/null 2>&1 || true; fi
  if ((!user_existed)) && getent passwd veltrane >/dev/null; then
    deluser --system --quiet veltrane >/dev/null 2>&1 || true
    getent group veltrane >/dev/null && delgroup --system --quiet veltrane >/dev/null 2>&1 || true
  fi
  if ((code != 0)) && [[ -f $work/relay.out ]]; then
    echo "--- relay output:" >&2
    tail -n 30 "$work/relay.out" >&2
  fi
  rm -f /var/cache/man/cat[0-9]/veltrane*
  rm -rf "$work"
  exit "$code"
}
trap cleanup EXIT
trap 'exit 143' TERM INT

# shellcheck source=scripts/wait-for.sh
source scripts/wait-for.sh

# Everything of the package's name outside the checkout, to compare before
# and after; man-db's cache of formatted pages (/var/cache/man), which the
# test's own man runs fill, is man-db's and emptied by the cleanup.
leftovers() {
  find /etc /lib /usr /var /run -xdev -path /var/cache/man -prune -o -iname '*veltrane*' -print 2>/dev/null | sort
}

as_veltrane() { setpriv --reuid=veltrane --regid=veltrane --init-groups "$@"; }

# Starts the installed relay as the user veltrane, with the capability the
# unit grants it (port 119) and the environment the unit gives it, in
# console mode; waits until veltrane-ctl reaches it.
start_relay() {
  (cd /var/lib/veltrane &&
    exec setpriv --reuid=veltrane --regid=veltrane --init-groups \
      --inh-caps=+net_bind_service --ambient-caps=+net_bind_service \
      env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin VELTRANE_CONFIG=/etc/veltrane/veltrane.conf \
      /usr/sbin/veltrane -debug) >"$work/relay.out" 2>&1 &
  relay_pid=$!
  wait_for 60 veltrane-ctl ListIncoming || fail "the relay did not answer veltrane-ctl within 60 s"
  [[ $(ps -o user= -p "$relay_pid") == veltrane ]] || fail "the relay does not run as veltrane"
}

# Ends the relay through its control socket and expects exit code 0.
stop_relay() {
  veltrane-ctl exit || fail "veltrane-ctl exit failed"
  local code=0
  timeout 60 tail --pid="$relay_pid" -f /dev/null || fail "the relay did not end within 60 s of exit"
  wait "$relay_pid" || code=$?
  relay_pid=""
  ((code == 0)) || fail "the relay ended with code $code after exit"
}

# Feeds one article by the given mode; its report goes to $work/feed.out.
feed() {
  "$loadgen" --port 119 --articles 1 --connections 1 --mode "$1" --time-limit 30 >"$work/feed.out" 2>&1
}

step "build"
for port in 119 9119; do
  ! ss -Hltn "sport = :$port" | grep -q . || fail "port $port is in use; the packaged relay listens there"
done
before=$(leftovers)
t0=$SECONDS
deb=$(bash scripts/build-deb.sh | tail -n 1)
echo "built $deb in $((SECONDS - t0)) s"
changes=${deb%.deb}.changes
cmake -S . -B build-package-test -DBUILD_TESTING=OFF -DVELTRANE_BENCH=OFF >/dev/null
cmake --build build-package-test --target veltrane-loadgen -j "${JOBS:-$(nproc)}" >/dev/null
loadgen=$root_dir/build-package-test/tools/loadgen/veltrane-loadgen

step "lintian"
lintian --fail-on error,warning "$changes" || fail "lintian reported errors or warnings"

step "manual pages and keys"
bash tests/package/check-manpages.sh

step "unit"
unit_dir=$work/unit
dpkg-deb -x "$deb" "$unit_dir"
unit=$unit_dir/lib/systemd/system/veltrane.service
for setting in Type=notify ExecStart=/usr/sbin/veltrane Environment=VELTRANE_CONFIG=/etc/veltrane/veltrane.conf \
  User=veltrane ProtectSystem=strict 'ReadWritePaths=/var/spool/veltrane /var/lib/veltrane /var/log/veltrane' \
  ProtectHome=yes PrivateTmp=yes NoNewPrivileges=yes CapabilityBoundingSet=CAP_NET_BIND_SERVICE \
  AmbientCapabilities=CAP_NET_BIND_SERVICE 'RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX' LimitNOFILE=8192; do
  grep -qxF "$setting" "$unit" || fail "the unit lacks $setting"
done
systemd-analyze security --offline=true --threshold=20 "$unit" | tail -n 1 ||
  fail "the unit's exposure is above 2.0"

step "install"
dpkg -i "$deb" </dev/null >"$work/dpkg.out" 2>&1 || { cat "$work/dpkg.out" >&2; fail "dpkg -i"; }
installed=1
# Where systemd runs, the package started the service; the test runs the
# relay by hand instead.
if [[ -d /run/systemd/system ]]; then systemctl stop veltrane; fi
for f in /usr/sbin/veltrane /usr/bin/veltrane-ctl /usr/bin/veltrane-parsedate /lib/systemd/system/veltrane.service; do
  [[ -x $f || -f $f ]] || fail "$f is missing"
done
conffiles=$(dpkg-query -W -f='${Conffiles}\n' veltrane | awk 'NF {print $1}' | sort | tr '\n' ' ')
[[ $conffiles == "/etc/veltrane/init.tcl /etc/veltrane/veltrane.conf " ]] || fail "conffiles are: $conffiles"
uid=$(id -u veltrane) || fail "no user veltrane"
((uid < 1000)) || fail "veltrane (uid $uid) is no system user"
[[ $(id -gn veltrane) == veltrane ]] || fail "veltrane's group is $(id -gn veltrane)"
for dir in /var/spool/veltrane /var/lib/veltrane /var/log/veltrane; do
  [[ $(stat -c '%U:%G %a' "$dir") == "veltrane:veltrane 750" ]] || fail "$dir is $(stat -c '%U:%G %a' "$dir")"
done
systemd-analyze verify /lib/systemd/system/veltrane.service || fail "systemd-analyze verify"
for page in veltrane.8 veltrane-ctl.8 veltrane.conf.5 veltrane-parsedate.1; do
  name=${page%.*}
  section=${page##*.}
  [[ $(man -w "$section" "$name") == /usr/share/man/man$section/$page.gz ]] || fail "man cannot find $page"
  warnings=$(MANWIDTH=80 man --warnings "$section" "$name" 2>&1 >/dev/null)
  [[ -z $warnings ]] || fail "man $section $name: $warnings"
done
# Whole pages before grep -q: ended early, grep would break the pipe, and
# pipefail would count that as a failure.
keys_page=$(MANWIDTH=80 man 5 veltrane.conf)
grep -q 'MaxIncomingConnections' <<<"$keys_page" || fail "man 5 veltrane.conf shows no keys"

step "run as veltrane in console mode"
start_relay
[[ -z $(veltrane-ctl ListIncoming) ]] || fail "the packaged start-up script lists peers"
[[ -z $(veltrane-ctl GetSiteList) ]] || fail "the packaged start-up script creates sites"
if feed takethis; then fail "an unlisted peer was served"; fi
grep -q 'replies     502=1' "$work/feed.out" || fail "an unlisted peer was not refused: $(cat "$work/feed.out")"
# The user veltrane and root may use the control socket, nobody else.
veltrane-ctl AddIncoming 127.0.0.1 || fail "veltrane-ctl AddIncoming as root"
[[ $(as_veltrane veltrane-ctl ListIncoming) == "127.0.0.1 " ]] || fail "veltrane-ctl ListIncoming as veltrane"
code=0
setpriv --reuid=nobody --regid=nogroup --clear-groups veltrane-ctl ListIncoming >/dev/null 2>&1 || code=$?
((code == 2)) || fail "veltrane-ctl as nobody exited $code where 2 (refused) was due"
feed takethis || fail "takethis from a listed peer: $(cat "$work/feed.out")"
grep -q '239=1' "$work/feed.out" || fail "no 239: $(cat "$work/feed.out")"
[[ $(veltrane-ctl GetConfigString HostPathIdentifier) == veltrane.invalid ]] || fail "GetConfigString"
metrics=$(curl --noproxy '*' -sSf --max-time 10 http://127.0.0.1:9119/metrics) || fail "no metrics on 127.0.0.1:9119"
grep -q '^veltrane_' <<<"$metrics" || fail "the metrics page has no veltrane_ lines"
ls /var/spool/veltrane/*.art >/dev/null 2>&1 || fail "no spool file in /var/spool/veltrane"
for f in /var/spool/veltrane/*.art /var/lib/veltrane/hist.dat /var/lib/veltrane/seen.dat /var/log/veltrane/veltrane.log; do
  [[ $(stat -c %U "$f") == veltrane ]] || fail "$f belongs to $(stat -c %U "$f")"
done
stop_relay
grep -q 'base: shutting down' /var/log/veltrane/veltrane.log || fail "the log has no clean stop"

step "upgrade keeps the edited start-up script"
echo 'AddIncoming 127.0.0.1' >>/etc/veltrane/init.tcl
edited=$(md5sum </etc/veltrane/init.tcl)
next=$work/next
dpkg-deb -R "$deb" "$next"
sed -i 's/^Version: .*/&+next1/' "$next/DEBIAN/control"
dpkg-deb -b "$next" "$work/veltrane-next.deb" >/dev/null
dpkg -i "$work/veltrane-next.deb" </dev/null >"$work/dpkg.out" 2>&1 || { cat "$work/dpkg.out" >&2; fail "upgrade"; }
if [[ -d /run/systemd/system ]]; then systemctl stop veltrane; fi
[[ $(dpkg-query -W -f='${Version}' veltrane) == *+next1 ]] || fail "the upgrade did not take"
[[ $(md5sum </etc/veltrane/init.tcl) == "$edited" ]] || fail "the upgrade replaced the edited init.tcl"
start_relay
[[ $(veltrane-ctl ListIncoming) == "127.0.0.1 " ]] || fail "the edited init.tcl did not list the peer"
feed ihave || fail "ihave from a listed peer: $(cat "$work/feed.out")"
grep -q '235=1' "$work/feed.out" || fail "no 235: $(cat "$work/feed.out")"
stop_relay

step "purge"
dpkg --purge veltrane >"$work/dpkg.out" 2>&1 || { cat "$work/dpkg.out" >&2; fail "dpkg --purge"; }
installed=0
if dpkg-query -W -f='${Status}' veltrane 2>/dev/null | grep -q 'installed\|config-files'; then
  fail "dpkg still knows veltrane after the purge"
fi
! pgrep -u veltrane >/dev/null || fail "a process of veltrane is left"
after=$(leftovers)
[[ $after == "$before" ]] || fail "left after the purge: $(comm -13 <(echo "$before") <(echo "$after") | tr '\n' ' ')"
getent passwd veltrane >/dev/null || fail "the purge removed the system user"
echo "left by design: the system user and group veltrane (uid $uid)"
echo "package test: passed in $SECONDS s"
