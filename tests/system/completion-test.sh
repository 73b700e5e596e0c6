#!/usr/bin/env bash
# vesk's bash completion: commands, then what each command takes.
set -u
vesk=${1:+$(readlink -f "$1")}
[ -n "$vesk" ] || { echo "usage: completion-test.sh VESK"; exit 2; }
# The script vesk makes from its commands' declarations, as the package ships it.
# shellcheck source=/dev/null
. <("$vesk" --completion)
failed=0
complete_line() {  # complete_line WORD... : prints the candidates for the last word
  COMP_WORDS=("$@")
  COMP_CWORD=$(($# - 1))
  COMPREPLY=()
  _vesk
  printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd' ' -
}
expect() {  # expect WANT WORD...
  local want=$1; shift
  local got
  got=$(complete_line "$@")
  [ "$got" = "$want" ] || { printf 'FAILED: %s -> [%s], expected [%s]\n' "$*" "$got" "$want"; failed=1; }
}
expect "lan link links logs" vesk l
expect "off on" vesk lan o
expect "secure service sites start stats status stop supervise" vesk s
expect "start status stop" vesk service st
expect "mariadb mysql" vesk service start m
expect "snapshot snapshots" vesk db sn
expect "nginx" vesk restart ng
expect "--purge" vesk uninstall --
expect "uninstall unisolate unlink unpark unproxy unsecure" vesk un
expect "--json" vesk sites --j
expect "db docker doctor dumps" vesk d
expect "diff" vesk profile di
expect "parked" vesk help parke
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/Sites" "$work/Shop"
cd "$work" && expect "Shop Sites" vesk park S
# Every command vesk --help lists is completed, and every option its usage
# names is offered for it.
if [ -n "$vesk" ]; then
  listed=$("$vesk" --help | awk '/^  vesk / || /^  sudo vesk / { sub(/^  (sudo )?vesk /, ""); print $1 }' | sort | paste -sd' ' -)
  completed=$(complete_line vesk "" | tr ' ' '\n' | grep -v '^-' | grep -vx help | sort | paste -sd' ' -)
  [ "$listed" = "$completed" ] || { printf 'FAILED: completed [%s], vesk --help lists [%s]\n' "$completed" "$listed"; failed=1; }
  for command in $listed; do
    for option in $("$vesk" --help | awk -v c="$command" '$0 ~ "^  (sudo )?vesk " c "( |$)"' | grep -o -- '--[a-z-]*' | sort -u); do
      complete_line vesk "$command" -- | tr ' ' '\n' | grep -qx -- "$option" ||
        { printf 'FAILED: vesk %s -- does not offer %s\n' "$command" "$option"; failed=1; }
    done
  done
fi
[ $failed -eq 0 ] && echo "vesk completion: passed"
exit $failed
