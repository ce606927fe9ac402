#!/usr/bin/env bash
# Runs the installed package's veltrane.service under systemd, sandbox and
# all, and checks that the relay works in it: it starts as the user veltrane
# with no capability but CAP_NET_BIND_SERVICE, no new privileges, a system
# call filter and a read-only root, answers veltrane-ctl, takes an article
# from a listed peer on port 119, and stops cleanly.
#
# Where systemd manages this machine, its own systemd runs the unit. Where
# it does not (a container, CI), a systemd is booted for the test alone, as
# PID 1 of new PID, mount, UTS, network and cgroup namespaces with a /run,
# /tmp and /var/tmp of its own, under a cgroup of the test's; every unit that
# would act on the machine at large is masked there, the relay's unit is
# started alone, and systemd is killed with everything in it at the end. Where
# neither can be had (no unshare rights, no cgroup2), the check is skipped
# with a note.
#
# A check to run by hand, as root, with the package installed and no relay
# of it running (it boots and kills a systemd of its own, which takes the
# machine's load badly):
#   bash scripts/check-unit.sh [LOADGEN]   (default build/tools/loadgen/veltrane-loadgen)
set -euo pipefail
cd "$(dirname "$0")/.."
loadgen=$(realpath "${1:-build/tools/loadgen/veltrane-loadgen}")

skip() {
  echo "unit under systemd: skipped: $*"
  exit 0
}
fail() {
  echo "unit under systemd: FAILED: $*" >&2
  exit 1
}

work=$(mktemp -d)
sd_pid=""
outer_pid=""
cg=""
cleanup() {
  local code=$?
  if [[ -n $sd_pid ]]; then
    ((code == 0)) || nsenter -t "$sd_pid" -m -p systemctl status veltrane --no-pager 2>&1 | tail -n 20 >&2 || true
    kill -KILL "$sd_pid" 2>/dev/null || true
  fi
  if [[ -n $outer_pid ]]; then
    for _ in $(seq 100); do kill -0 "$outer_pid" 2>/dev/null || break; sleep 0.1; done
  fi
  if [[ -n $cg && -d $cg ]]; then
    for _ in $(seq 50); do
      find "$cg" -depth -type d -exec rmdir {} \; 2>/dev/null || true
      [[ -d $cg ]] || break
      sleep 0.1
    done
  fi
  rm -rf "$work"
  exit "$code"
}
trap cleanup EXIT
trap 'exit 143' TERM INT

# shellcheck source=scripts/wait-for.sh
source scripts/wait-for.sh

if [[ -d /run/systemd/system ]]; then
  in_ns=()
  in_net=()
else
  [[ -x /lib/systemd/systemd ]] || skip "no systemd installed"
  unified=$(findmnt -t cgroup2 -n -o TARGET | head -n 1)
  [[ -n $unified ]] || skip "no cgroup2 hierarchy mounted"
  unshare --pid --fork --mount --uts --net --cgroup true 2>/dev/null || skip "namespaces cannot be made here"
  cg=$unified/veltrane-unit-test.$$
  mkdir "$cg" || skip "cannot make a cgroup under $unified"
  cat >"$work/boot.sh" <<'EOF'
#!/bin/bash
# PID 1 of the new namespaces. It gets a /run, /tmp, /var/tmp and cgroup2
# mount of its own, and every unit that would act on the machine at large
# (clean /tmp, load modules, apply sysctl settings, trigger udev, add users,
# write a journal or utmp) is masked, as are the targets that would pull them
# in; then systemd starts nothing but an empty target.
set -e
mount --make-rprivate /
for dir in /run /tmp /var/tmp; do mount -t tmpfs -o mode=1777 tmpfs "$dir"; done
chmod 0755 /run
mkdir -p /run/systemd/system
printf '[Unit]\nDescription=Veltrane unit test\nDefaultDependencies=no\n' >/run/systemd/system/veltrane-test.target
for unit in sysinit.target basic.target sockets.target timers.target paths.target local-fs.target \
  local-fs-pre.target swap.target network.target network-online.target network-pre.target \
  systemd-journald.service systemd-journald.socket systemd-journald-dev-log.socket systemd-journald-audit.socket \
  systemd-journal-flush.service systemd-tmpfiles-setup.service systemd-tmpfiles-setup-dev.service \
  systemd-tmpfiles-clean.timer systemd-tmpfiles-clean.service systemd-udevd.service systemd-udev-trigger.service \
  systemd-udev-settle.service systemd-sysctl.service systemd-sysusers.service systemd-update-utmp.service \
  systemd-random-seed.service systemd-modules-load.service systemd-binfmt.service ldconfig.service \
  systemd-machine-id-commit.service systemd-firstboot.service systemd-remount-fs.service; do
  ln -s /dev/null "/run/systemd/system/$unit"
done
mount -t cgroup2 cgroup2 /sys/fs/cgroup
exec env container=veltrane-test /lib/systemd/systemd --system --unit=veltrane-test.target --show-status=no
EOF
  chmod +x "$work/boot.sh"
  # Into the test's cgroup first, so that the cgroup namespace is rooted there.
  (echo "$BASHPID" >"$cg/cgroup.procs" && exec unshare --pid --fork --mount --uts --net --cgroup --kill-child \
    "$work/boot.sh") >"$work/systemd.out" 2>&1 &
  outer_pid=$!
  wait_for 10 pgrep -P "$outer_pid" || fail "systemd did not start: $(cat "$work/systemd.out")"
  sd_pid=$(pgrep -P "$outer_pid")
  in_ns=(nsenter -t "$sd_pid" -m -p -u -n)
  # The network alone, for the clients: they keep the host's files, where
  # the checkout (perhaps under /tmp, private in there) holds them.
  in_net=(nsenter -t "$sd_pid" -n)
  running() { [[ $("${in_ns[@]}" systemctl is-system-running 2>/dev/null) =~ ^(running|degraded)$ ]]; }
  wait_for 60 running || fail "the private systemd did not come up: $(cat "$work/systemd.out")"
fi

# In the private systemd the unit's requirements (sysinit.target and the
# rest) are masked: the unit is started alone.
job_mode=()
((${#in_ns[@]} == 0)) || job_mode=(--job-mode=ignore-dependencies)
timeout 120 "${in_ns[@]}" systemctl start "${job_mode[@]}" veltrane || fail "systemctl start veltrane"
pid=$("${in_ns[@]}" systemctl show -P MainPID veltrane)
# MainPID is the PID in systemd's own namespace; the socket answers from here.
wait_for 60 veltrane-ctl ListIncoming || fail "the service did not answer veltrane-ctl"
host_pid=$(pgrep -u veltrane -x veltrane | head -n 1)
[[ -n $host_pid ]] || fail "no process veltrane of the user veltrane (MainPID $pid)"
status=/proc/$host_pid/status
[[ $(awk '/^CapEff:/ {print $2}' "$status") == 0000000000000400 ]] || fail "capabilities: $(grep ^Cap "$status")"
[[ $(awk '/^CapBnd:/ {print $2}' "$status") == 0000000000000400 ]] || fail "bounding set: $(grep ^CapBnd "$status")"
[[ $(awk '/^NoNewPrivs:/ {print $2}' "$status") == 1 ]] || fail "NoNewPrivs is not set"
[[ $(awk '/^Seccomp:/ {print $2}' "$status") == 2 ]] || fail "no system call filter"
awk '$5 == "/" {print $6}' "/proc/$host_pid/mountinfo" | grep -q '^ro' || fail "the root is writable for the service"
awk '$5 == "/var/lib/veltrane" {print $6}' "/proc/$host_pid/mountinfo" | grep -q '^rw' ||
  fail "/var/lib/veltrane is not writable for the service"
[[ $(awk '/^Max open files/ {print $4}' "/proc/$host_pid/limits") == 8192 ]] || fail "LimitNOFILE"

[[ $(veltrane-ctl ListIncoming) == *127.0.0.1* ]] || veltrane-ctl AddIncoming 127.0.0.1 || fail "AddIncoming"
"${in_net[@]}" "$loadgen" --port 119 --articles 1 --connections 1 --time-limit 30 >"$work/feed.out" 2>&1 ||
  fail "feeding the service: $(cat "$work/feed.out")"
grep -q '239=1' "$work/feed.out" || fail "no 239: $(cat "$work/feed.out")"
metrics=$("${in_net[@]}" curl --noproxy '*' -sSf --max-time 10 http://127.0.0.1:9119/metrics) || fail "no metrics page"
grep -q '^veltrane_' <<<"$metrics" || fail "the metrics page has no veltrane_ lines"

timeout 120 "${in_ns[@]}" systemctl stop veltrane || fail "systemctl stop veltrane"
[[ $("${in_ns[@]}" systemctl show -P Result veltrane) == success ]] || fail "the service did not stop cleanly"
tail -n 1 /var/log/veltrane/veltrane.log | grep -q 'base: shutting down' || fail "the log has no clean stop"
echo "unit under systemd: passed (capabilities 0x400, no new privileges, seccomp, read-only root)"
