#!/usr/bin/env bash
# The package's edit of nsswitch.conf: added once before resolve or dns,
# taken out byte for byte, lines it does not own left alone, a linked file
# edited where it points. Runs on temporary files.
set -u
script=$(cd "$(dirname "$0")/../.." && pwd)/packaging/debian/nsswitch.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
check() {  # check HOSTS_LINE EXPECTED_AFTER_ADD [ORIGINAL_AFTER_REMOVE]
  printf 'passwd:         files\n%s\nnetworks:       files dns\n' "$1" >"$work/conf"
  cp "$work/conf" "$work/original"
  sh "$script" add "$work/conf" 2>/dev/null
  sh "$script" add "$work/conf" 2>/dev/null
  local added
  added=$(grep -E '^[[:space:]]*hosts:' "$work/conf")
  if [ "$added" != "$2" ]; then
    printf 'FAILED: add to [%s] gave [%s], expected [%s]\n' "$1" "$added" "$2"; failed=1
  fi
  grep -q '^networks:       files dns$' "$work/conf" || { echo "FAILED: other lines changed"; failed=1; }
  sh "$script" remove "$work/conf"
  local want=${3:-$1}
  if [ "$(grep -E '^[[:space:]]*hosts:' "$work/conf")" != "$want" ]; then
    printf 'FAILED: remove after add to [%s] gave [%s]\n' "$1" "$(grep -E '^[[:space:]]*hosts:' "$work/conf")"; failed=1
  fi
  [ -n "${3:-}" ] || cmp -s "$work/conf" "$work/original" || { printf 'FAILED: [%s] not restored byte for byte\n' "$1"; failed=1; }
}
tab=$'\t'
check 'hosts:          files dns' 'hosts:          files vesk [NOTFOUND=return] dns'
check 'hosts:          files mdns4_minimal [NOTFOUND=return] dns myhostname' \
      'hosts:          files mdns4_minimal [NOTFOUND=return] vesk [NOTFOUND=return] dns myhostname'
check 'hosts:          files' 'hosts:          files'
check 'hosts:          files vesk dns' 'hosts:          files vesk dns'
check 'hosts:          files myvesk dns' 'hosts:          files myvesk vesk [NOTFOUND=return] dns'
check 'hosts:          files dnsext dns' 'hosts:          files dnsext vesk [NOTFOUND=return] dns'
# systemd-resolved answers every name itself: the module goes before it.
check 'hosts:          files resolve [!UNAVAIL=return] dns' \
      'hosts:          files vesk [NOTFOUND=return] resolve [!UNAVAIL=return] dns'
check 'hosts:          files dns resolve' 'hosts:          files vesk [NOTFOUND=return] dns resolve'
check 'hosts:          files mymachines resolve [!UNAVAIL=return] dns myhostname' \
      'hosts:          files mymachines vesk [NOTFOUND=return] resolve [!UNAVAIL=return] dns myhostname'
# An earlier version's entry after resolve is moved before it.
check 'hosts:          files resolve [!UNAVAIL=return] vesk [NOTFOUND=return] dns' \
      'hosts:          files vesk [NOTFOUND=return] resolve [!UNAVAIL=return] dns' \
      'hosts:          files resolve [!UNAVAIL=return] dns'
# Tabs, odd spacing and an indented line are kept byte for byte.
check "hosts:${tab}files${tab}dns" "hosts:${tab}files${tab}vesk [NOTFOUND=return] dns"
check "hosts:files   dns  " "hosts:files   vesk [NOTFOUND=return] dns  "
check "  hosts:${tab}files dns" "  hosts:${tab}files vesk [NOTFOUND=return] dns"
check "hosts:dns" "hosts:vesk [NOTFOUND=return] dns"

# A message says what to add where the line is not understood.
printf 'hosts: files\n' >"$work/conf"
message=$(sh "$script" add "$work/conf" 2>&1)
case $message in *'add "vesk [NOTFOUND=return]"'*) ;; *) echo "FAILED: no message for a line without dns: [$message]"; failed=1 ;; esac
printf 'hosts: files resolve vesk dns\n' >"$work/conf"
message=$(sh "$script" add "$work/conf" 2>&1)
case $message in *'before "resolve"'*) ;; *) echo "FAILED: no message for vesk after resolve: [$message]"; failed=1 ;; esac

# A linked nsswitch.conf is edited where it points and stays a link.
mkdir -p "$work/etc" "$work/real"
printf 'hosts: files dns\n' >"$work/real/nsswitch.conf"
chmod 0644 "$work/real/nsswitch.conf"
ln -s ../real/nsswitch.conf "$work/etc/nsswitch.conf"
sh "$script" add "$work/etc/nsswitch.conf"
[ -L "$work/etc/nsswitch.conf" ] || { echo "FAILED: the link was replaced by a file"; failed=1; }
grep -q '^hosts: files vesk \[NOTFOUND=return\] dns$' "$work/real/nsswitch.conf" || { echo "FAILED: the linked file was not edited"; failed=1; }
[ "$(stat -c %a "$work/real/nsswitch.conf")" = 644 ] || { echo "FAILED: mode changed"; failed=1; }
sh "$script" remove "$work/etc/nsswitch.conf"
grep -q '^hosts: files dns$' "$work/real/nsswitch.conf" || { echo "FAILED: the linked file was not restored"; failed=1; }
ls "$work/real" | grep -q vesk- && { echo "FAILED: a temporary file was left"; failed=1; }

[ $failed -eq 0 ] && echo "nsswitch edit: passed"
exit $failed
