#!/bin/sh
# Routes the development domains to their name servers through
# systemd-resolved, for programs that ask resolved directly (dig, node's
# resolver) and never read the resolver files.
#
#   dns-route.sh apply|remove [RESOLVER_DIR]
#
# apply: for every resolver file (/etc/resolver/<domain>: root's, a plain
# domain name, "nameserver <address>" and "port <n>" lines), the domain is a
# routing-only domain (~domain) of the link vesk0, whose name servers are the
# files' servers. The link is never a default route and does no LLMNR or
# mDNS, so no other name is ever asked of these servers and nothing else of
# the system's resolution changes; /etc/resolv.conf is not touched. resolved
# takes a link's DNS only when it has an address of its own: vesk0 has
# 192.0.2.53/32 (TEST-NET-1, never routed) and sends nothing anywhere.
# With no resolver file, or no resolved, the link goes.
# remove: the link goes, and with it everything resolved had for it.
set -eu
action=${1:-}
dir=${2:-/etc/resolver}
link=vesk0
address=192.0.2.53/32

remove_link() {
    ip link del "$link" 2>/dev/null || true
}

case "$action" in
  remove)
    remove_link
    exit 0
    ;;
  apply) ;;
  *)
    echo "usage: dns-route.sh apply|remove [RESOLVER_DIR]" >&2
    exit 2
    ;;
esac

servers=
domains=
if [ -d "$dir" ] && [ "$(stat -c %u "$dir")" = 0 ]; then
    for file in "$dir"/*; do
        [ -f "$file" ] && [ ! -L "$file" ] && [ "$(stat -c %u "$file")" = 0 ] || continue
        domain=$(basename "$file")
        # A plain domain name: letters, digits, hyphens, dots between labels.
        printf '%s' "$domain" | grep -Eqx '[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?(\.[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?)*' ||
            continue
        server=$(awk '$1 == "nameserver" && NF == 2 { print $2; exit }' "$file")
        port=$(awk '$1 == "port" && NF == 2 { print $2; exit }' "$file")
        port=${port:-53}
        printf '%s' "$server" | grep -Eqx '[0-9A-Fa-f:.]{2,45}' || continue
        printf '%s' "$port" | grep -Eqx '[0-9]{1,5}' || continue
        case $server in
          *:*) server="[$server]:$port" ;;
          *) server="$server:$port" ;;
        esac
        case " $servers " in *" $server "*) ;; *) servers="$servers $server" ;; esac
        domains="$domains ~$domain"
    done
fi

if [ -z "$domains" ] || [ ! -d /run/systemd/resolve ]; then
    remove_link
    exit 0
fi

if ! ip link show "$link" >/dev/null 2>&1; then
    # A dummy link where the kernel has them; a veth pair otherwise.
    ip link add "$link" type dummy 2>/dev/null ||
        ip link add "$link" type veth peer name "${link}peer"
fi
ip link set "${link}peer" up 2>/dev/null || true
ip link set "$link" up
ip addr replace "$address" dev "$link"
# shellcheck disable=SC2086 # one argument per server and per domain
resolvectl dns "$link" $servers
# shellcheck disable=SC2086
resolvectl domain "$link" $domains
resolvectl default-route "$link" false
resolvectl llmnr "$link" no
resolvectl mdns "$link" no
