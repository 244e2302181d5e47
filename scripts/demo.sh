#!/usr/bin/env bash
# Loads each module into the host, runs a short page script against it and
# prints what the page receives.
set -euo pipefail
build=${1:-build}
cd "$(dirname "$0")/.."
if [ ! -x "$build/plugin-host" ]; then
  echo "demo: $build/plugin-host has not been built" >&2
  exit 1
fi
for script in scripts/demo/*.jsonl; do
  module=$(basename "$script" .jsonl)
  echo "== $module: $script"
  "$build/plugin-host" "$build/$module.so" "$script"
done
