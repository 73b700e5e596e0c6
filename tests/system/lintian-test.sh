#!/usr/bin/env bash
# The Debian package as lintian sees it: no error and no warning at the
# default level (overrides ship with the package, each with its reason).
#
#   lintian-test.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:?usage: lintian-test.sh BUILD_DIR}" && pwd)
if ! command -v lintian >/dev/null; then
  echo "lintian: not installed here; run scripts/install-deps.sh"
  exit 77
fi
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
(cd "$build" && cpack -G DEB -B "$out" >/dev/null)
deb=$(ls "$out"/vesk_*.deb)
# lintian warns on its own when run as root; only tags count.
lintian --fail-on error,warning "$deb" 2> >(grep -v 'running with root privileges' >&2)
echo "lintian: $(basename "$deb"): 0 errors, 0 warnings"
