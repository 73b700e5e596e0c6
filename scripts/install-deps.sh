#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test and run its
# end-to-end checks. Idempotent: when everything is present it does nothing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  libsimdjson-dev libicu-dev liburiparser-dev libssl-dev openssl libcurl4-openssl-dev libsystemd-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev
  libplist-dev systemd-container clang-14 libclang-rt-14-dev clang-tidy-14 clang-format-14 lintian
  libcli11-dev nginx-light dnsmasq-base php8.2-fpm dnsutils curl procps util-linux iproute2
  sudo chromium libnss3-tools wrk
  libzstd-dev libgmime-3.0-dev mariadb-server postgresql redis-server php8.2-mysql php8.2-pgsql php8.2-redis
  python3-aiosmtpd php8.2-cli php8.2-xdebug
)

# systemd-resolved and its name-service module are never installed here (they
# would take over this machine's resolv.conf): the system test installs them
# inside its throw-away machine, from packages of the same systemd version
# kept in this directory.
test_debs=/var/cache/vesk-test
fetch_test_debs() {
  local version
  version=$(dpkg-query -W -f='${Version}' systemd)
  ls "$test_debs"/systemd-resolved_"${version}"_*.deb "$test_debs"/libnss-resolve_"${version}"_*.deb \
    >/dev/null 2>&1 && return 0
  [ "$(id -u)" -eq 0 ] || return 0
  mkdir -p "$test_debs"
  chown _apt "$test_debs" 2>/dev/null || true
  (cd "$test_debs" && apt-get download -qq "systemd-resolved=$version" "libnss-resolve=$version")
}
# apache2 with what it needs beyond this machine's packages, for the system
# test's machine that gets another web server after Vesk (never installed here).
fetch_apache2_debs() {
  ls "$test_debs"/apache2/apache2_*.deb >/dev/null 2>&1 && return 0
  [ "$(id -u)" -eq 0 ] || return 0
  mkdir -p "$test_debs/apache2/partial"
  chown -R _apt "$test_debs/apache2" 2>/dev/null || true
  apt-get install -d -y -qq --no-install-recommends -o Dir::Cache::archives="$test_debs/apache2" \
    apache2 >/dev/null
}

# The database servers are here for their programs: Vesk runs its own
# instances. Their own units stay off, here and in the machines the system
# tests boot over this one (which start them only to compare with).
disable_servers() {
  [ "$(id -u)" -eq 0 ] || return 0
  for unit in mariadb.service postgresql.service redis-server.service; do
    [ -e "/etc/systemd/system/multi-user.target.wants/$unit" ] && systemctl disable "$unit" >/dev/null 2>&1
  done
  return 0
}

# Node.js and npm for the Node.js and Vite projects' tests: Debian's, unless
# the machine has a node of its own (whose npm comes with it).
command -v node >/dev/null || packages+=(nodejs)
command -v npm >/dev/null || packages+=(npm)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  fetch_test_debs || { apt-get update -qq && fetch_test_debs; }
  fetch_apache2_debs || { apt-get update -qq && fetch_apache2_debs; }
  disable_servers
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages (${missing[*]}); run this script as root" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# Servers are installed for their executables only; never let the package
# scripts start them on this machine.
if [ ! -e /usr/sbin/policy-rc.d ]; then
  printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
  chmod 755 /usr/sbin/policy-rc.d
  trap 'rm -f /usr/sbin/policy-rc.d' EXIT
fi
apt-get install -y -qq --no-install-recommends "${missing[@]}"
fetch_test_debs
fetch_apache2_debs
disable_servers
