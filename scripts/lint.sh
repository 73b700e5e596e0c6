#!/usr/bin/env bash
# clang-format and clang-tidy on the C++ files changed since the last landed
# commit (.ci/lint-base; LINT_BASE overrides it): any finding fails. Needs the
# default preset configured (its compile_commands.json).
set -euo pipefail
cd "$(dirname "$0")/.."
base=${LINT_BASE:-$(cat .ci/lint-base 2>/dev/null || echo HEAD~1)}
if ! git rev-parse -q --verify "$base^{commit}" >/dev/null; then
  echo "lint: $base is no commit of this clone; linting every file"
  base=$(git hash-object -t tree /dev/null)
fi
mapfile -t files < <(git diff --name-only --diff-filter=d "$base" HEAD -- '*.cpp' '*.hpp')
[ ${#files[@]} -gt 0 ] || { echo "lint: no C++ file changed since $base"; exit 0; }
echo "lint: ${#files[@]} files changed since $base"
clang-format-14 --dry-run --Werror "${files[@]}"
# clang-tidy reads the product's sources as they are built (headers through
# their sources): the library, the helper, the command and the name-service
# module; the tests, benchmarks and fuzz targets are formatted, not tidied.
db=build/default/compile_commands.json
mapfile -t sources < <(for f in "${files[@]}"; do
  [[ $f == *.cpp && $f =~ ^(VeskCore|VeskHelper|vesk|nss)/ ]] &&
    grep -q "\"file\": \"$PWD/$f\"" "$db" && echo "$f"; done)
[ ${#sources[@]} -gt 0 ] || exit 0
printf '%s\n' "${sources[@]}" |
  xargs -P "$(nproc)" -n 4 clang-tidy-14 -p build/default --quiet --warnings-as-errors='*' 2>/dev/null
echo "lint: clang-format and clang-tidy found nothing"
