# Shared by the end-to-end scripts (sourced): numbered steps, commands whose
# output is shown and whose failure is recorded, and one verdict at the end.
failed=0
step() { printf '==> %s\n' "$*"; }
fail() { printf '    FAILED: %s\n' "$*"; failed=1; }
# expect DESCRIPTION COMMAND...: runs, prints the output, records a failure.
expect() {
  local what=$1; shift
  local out rc
  out=$("$@" 2>&1); rc=$?
  [ -n "$out" ] && printf '    %s\n' "$out"
  [ $rc -eq 0 ] || fail "$what (exit $rc)"
  return $rc
}
# expect_fails DESCRIPTION STATUS COMMAND...: the command must exit with STATUS.
expect_fails() {
  local what=$1 want=$2; shift 2
  local out rc
  out=$("$@" 2>&1); rc=$?
  [ -n "$out" ] && printf '    %s\n' "$out"
  [ $rc -eq "$want" ] || fail "$what (exit $rc, expected $want)"
}
# wait_for SECONDS COMMAND...: polls until the command succeeds.
wait_for() {
  local seconds=$1; shift
  local i
  for i in $(seq $((seconds * 20))); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.05
  done
  return 1
}
