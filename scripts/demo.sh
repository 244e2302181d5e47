#!/usr/bin/env bash
# Loads each module into plugin-host and plays its page script
# (scripts/demo/<module>.jsonl), showing what the page receives.
# Usage: scripts/demo.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build="$(cd "${1:-build}" && pwd)"
scripts="$(pwd)/scripts/demo"
work="$build/demo"
mkdir -p "$work"
cd "$work"

for module in edit_module encoder_module; do
  echo "== $module: messages to the page (standard output), console (standard error)"
  "$build/plugin-host" "$build/$module.so" \
    --persistent "$work/html5fs/persistent" --temporary "$work/html5fs/temporary" \
    "$scripts/$module.jsonl" 2>&1
  echo
done
echo "Files the modules wrote are under $work/html5fs"
