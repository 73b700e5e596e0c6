#!/usr/bin/env bash
# The main job: build, then watch the real helper serve a PHP site with
# Debian's nginx, dnsmasq and php-fpm, in private namespaces (needs root).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default >/dev/null
exec bash tests/e2e/e2e.sh build/default
