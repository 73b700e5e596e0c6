#!/bin/sh
# Adds the vesk module to the hosts line of nsswitch.conf, or takes it out.
#
#   nsswitch.sh add|remove [FILE]
#
# add: puts "vesk [NOTFOUND=return]" before the first "dns" of the hosts
# line, once. A hosts line that already names vesk, or has no "dns" to go
# before, is the administrator's and stays as it is.
# remove: takes out exactly what add put in; anything else stays.
set -e
action=$1
file=${2:-/etc/nsswitch.conf}
[ -f "$file" ] || exit 0
entry='vesk [NOTFOUND=return]'

hosts=$(grep -E '^hosts:' "$file" | head -n 1) || exit 0
case "$action" in
  add)
    echo "$hosts" | grep -qw vesk && exit 0
    echo "$hosts" | grep -qE '[[:space:]]dns([[:space:]]|$)' || {
      echo "vesk: the hosts line of $file has no dns entry; add \"$entry\" to it by hand" >&2
      exit 0
    }
    sed -i -E "0,/^hosts:/ s/^(hosts:.*[[:space:]])dns([[:space:]]|\$)/\\1$entry dns\\2/" "$file"
    ;;
  remove)
    sed -i -E "s/^(hosts:.*)[[:space:]]vesk \\[NOTFOUND=return\\]([[:space:]])/\\1\\2/" "$file"
    ;;
  *)
    echo "usage: nsswitch.sh add|remove [FILE]" >&2
    exit 2
    ;;
esac
