#!/bin/sh
# Adds the vesk module to the hosts line of nsswitch.conf, or takes it out.
#
#   nsswitch.sh add|remove [FILE]
#
# add: puts "vesk [NOTFOUND=return] " right before the first "resolve" or
# "dns" of the hosts line (indented or not), once: the module must be asked
# before systemd-resolved, which answers every name itself. An entry an
# earlier version put after "resolve" is moved before it. A hosts line that
# names vesk otherwise, or has neither "resolve" nor "dns" to go before, is
# the administrator's and stays as it is, with a message saying what to add.
# remove: takes out exactly the bytes add put in; everything else, tabs and
# spacing included, stays byte for byte.
# A FILE that is a symbolic link is edited where it points.
set -e
action=$1
file=${2:-/etc/nsswitch.conf}
[ -e "$file" ] || exit 0
file=$(readlink -f -- "$file")
[ -f "$file" ] || exit 0
case "$action" in
  add | remove) ;;
  *)
    echo "usage: nsswitch.sh add|remove [FILE]" >&2
    exit 2
    ;;
esac

tmp=$(mktemp "$file.vesk-XXXXXX")
trap 'rm -f "$tmp"' EXIT
awk -v action="$action" -v file="$file" -v entry='vesk [NOTFOUND=return] ' '
function entryAt(s,   i, n) {
  # Where our entry, exactly as add writes it, starts a word of s; or 0.
  n = length(entry)
  for (i = 1; i + n - 1 <= length(s); i++)
    if (substr(s, i, n) == entry && (i == 1 || substr(s, i - 1, 1) ~ /[[:space:]]/)) return i
  return 0
}
function strip(s,   i) {
  i = entryAt(s)
  return i == 0 ? s : substr(s, 1, i - 1) substr(s, i + length(entry))
}
function position(s, words,   padded) {
  # Index in s of the first whole word of `words` (a regex), or 0.
  padded = " " s
  if (match(padded, "[[:space:]](" words ")([[:space:]]|$)")) return RSTART
  return 0
}
!done && /^[[:space:]]*hosts:/ {
  done = 1
  colon = index($0, ":")
  head = substr($0, 1, colon)
  rest = substr($0, colon + 1)
  if (action == "remove") {
    print head strip(rest)
    next
  }
  if (entryAt(rest) > 0) {
    resolve = position(rest, "resolve")
    if (resolve == 0 || entryAt(rest) < resolve) { print; next }
    rest = strip(rest)   # put after resolve by an earlier version: moved
  } else if (position(rest, "vesk") > 0) {
    if (position(rest, "resolve") > 0 && position(rest, "vesk") > position(rest, "resolve"))
      printf "vesk: the hosts line of %s names vesk after resolve, which answers every name: move \"vesk [NOTFOUND=return]\" before \"resolve\"\n", file > "/dev/stderr"
    print; next
  }
  at = position(rest, "resolve|dns")
  if (at == 0) {
    printf "vesk: the hosts line of %s has neither resolve nor dns; add \"vesk [NOTFOUND=return]\" to it by hand, before the source that asks DNS servers\n", file > "/dev/stderr"
    print; next
  }
  print head substr(rest, 1, at - 1) entry substr(rest, at)
  next
}
{ print }
' "$file" >"$tmp"
if cmp -s "$tmp" "$file"; then
  exit 0
fi
# The file keeps its mode and owner; the new text replaces it at once.
chmod --reference="$file" "$tmp"
chown --reference="$file" "$tmp"
mv -f "$tmp" "$file"
trap - EXIT
