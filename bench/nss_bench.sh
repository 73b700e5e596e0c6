#!/usr/bin/env bash
# Runs nss_bench in a private mount and network namespace: a private copy of
# /etc (a resolver file for "test", resolv.conf and nsswitch.conf pointing at
# a dnsmasq on the private loopback), the module found through
# LD_LIBRARY_PATH. Nothing on the host changes. Needs root.
#
#   nss_bench.sh BUILD_DIR [benchmark options...]
set -euo pipefail
build=$(cd "${1:?usage: nss_bench.sh BUILD_DIR [options]}" && pwd)
shift
if [ -z "${VESK_NSS_BENCH_NS:-}" ]; then
  exec unshare --mount --net --propagation private env VESK_NSS_BENCH_NS=1 "$0" "$build" "$@"
fi
ip link set lo up
etc=$(mktemp -d /tmp/vesk-nss-bench.XXXXXX)
mount -t tmpfs tmpfs "$etc"
cp -a /etc/. "$etc"/
mkdir -p "$etc"/resolver
printf 'nameserver 127.0.0.1\nport 53\n' >"$etc"/resolver/test
printf 'nameserver 127.0.0.1\n' >"$etc"/resolv.conf
mount --bind "$etc" /etc
dnsmasq --port=53 --listen-address=127.0.0.1 --bind-interfaces --no-resolv --no-hosts \
  --user=root --pid-file=/run/vesk-nss-bench.pid --cache-size=1000 \
  --address=/test/127.0.0.1 --address=/example.org/127.0.0.2
trap 'kill $(cat /run/vesk-nss-bench.pid) 2>/dev/null' EXIT
sleep 0.2
LD_LIBRARY_PATH="$build/nss" "$build/bench/nss_bench" "$@"
