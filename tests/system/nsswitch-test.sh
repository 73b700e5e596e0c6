#!/usr/bin/env bash
# The package's edit of nsswitch.conf: added once before dns, taken out
# exactly, lines it does not own left alone. Runs on temporary files.
set -u
script=$(cd "$(dirname "$0")/../.." && pwd)/packaging/debian/nsswitch.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
check() {  # check HOSTS_LINE EXPECTED_AFTER_ADD
  printf 'passwd:         files\n%s\nnetworks:       files dns\n' "$1" >"$work/conf"
  cp "$work/conf" "$work/original"
  sh "$script" add "$work/conf" 2>/dev/null
  sh "$script" add "$work/conf" 2>/dev/null
  local added
  added=$(grep '^hosts:' "$work/conf")
  if [ "$added" != "$2" ]; then
    printf 'FAILED: add to [%s] gave [%s], expected [%s]\n' "$1" "$added" "$2"; failed=1
  fi
  grep -q '^networks:       files dns$' "$work/conf" || { echo "FAILED: other lines changed"; failed=1; }
  sh "$script" remove "$work/conf"
  if ! cmp -s "$work/conf" "$work/original"; then
    printf 'FAILED: remove after add to [%s] gave [%s]\n' "$1" "$(grep '^hosts:' "$work/conf")"; failed=1
  fi
}
check 'hosts:          files dns' 'hosts:          files vesk [NOTFOUND=return] dns'
check 'hosts:          files mdns4_minimal [NOTFOUND=return] dns myhostname' \
      'hosts:          files mdns4_minimal [NOTFOUND=return] vesk [NOTFOUND=return] dns myhostname'
check 'hosts:          files' 'hosts:          files'
check 'hosts:          files vesk dns' 'hosts:          files vesk dns'
check 'hosts:          files myvesk dns' 'hosts:          files myvesk vesk [NOTFOUND=return] dns'
check 'hosts:          files dnsext dns' 'hosts:          files dnsext vesk [NOTFOUND=return] dns'
[ $failed -eq 0 ] && echo "nsswitch edit: passed"
exit $failed
