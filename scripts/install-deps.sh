#!/usr/bin/env bash
# Installs the Debian 12 packages the relay needs to build, run and test.
# Asks apt only for what is missing, so a prepared machine starts at once.
set -euo pipefail
packages=(
  build-essential cmake pkg-config   # compiler and build
  bison                              # the date grammar
  tzdata                             # zone files: local time of the relay and the date tests
  tcl8.6-dev                         # the control interpreter
  nettle-dev                         # MD5 for article keys
  libsystemd-dev                     # sd_notify status reports
  libmicrohttpd-dev                  # the Prometheus metrics page
  prometheus                         # promtool, which checks the metrics page in the tests
  python3                            # the soak's refused-connection probes, the metrics scraper
  libgtest-dev                       # unit tests
  iproute2                           # loopback of the tests' own network namespaces; ss
  libbenchmark-dev                   # benchmarks
  clang libclang-rt-14-dev           # libFuzzer targets
  debhelper                          # the Debian package (scripts/build-deb.sh)
  lintian                            # checks the package
  adduser                            # the package's system user
  systemd                            # systemd-analyze, which checks the packaged unit
  man-db                             # man, which reads the manual pages
  curl                               # the demo's look at the metrics page
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
