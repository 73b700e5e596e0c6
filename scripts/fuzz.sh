#!/usr/bin/env bash
# Builds the fuzz preset and runs every libFuzzer target for a bounded time
# from its committed corpus (a working copy; the committed one is left as it
# is). A crash fails the run and prints the reproducer.
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET]     (default 30)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz >/dev/null
work=$(mktemp -d /tmp/vesk-fuzz.XXXXXX)
trap 'rm -rf "$work"' EXIT
failed=0
for target in build/fuzz/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  name=${target##*/fuzz_}
  mkdir -p "$work/$name"
  cp fuzz/corpus/"$name"/* "$work/$name"/ 2>/dev/null || true
  dict=()
  case $name in
    json | varlink) dict=(-dict=fuzz/dict/json.dict) ;;
    plist) dict=(-dict=fuzz/dict/plist.dict) ;;
  esac
  printf '==> fuzz_%s for %s s\n' "$name" "$seconds"
  if ! "$target" "${dict[@]}" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
      -print_final_stats=1 -artifact_prefix="$work/$name-" "$work/$name" >"$work/$name.log" 2>&1; then
    failed=1
    grep -E 'ERROR|SUMMARY|#[0-9]+ 0x' "$work/$name.log" | head -30
    for artifact in "$work/$name"-*; do
      [ -f "$artifact" ] || continue
      echo "    reproducer $(basename "$artifact") (base64; run: $target FILE):"
      base64 -w 76 "$artifact" | sed 's/^/    /'
    done
  else
    grep -E '^stat::number_of_executed_units|cov:' "$work/$name.log" | tail -n 2 | sed 's/^/    /'
  fi
done
exit $failed
