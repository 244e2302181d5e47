#!/usr/bin/env bash
# Loads each module into plugin-host and plays its page script
# (scripts/demo/<module>.jsonl), showing what the page receives. The
# recorder's script records 5 s (screen pattern, camera, branding, tone)
# to /html5_persistent/demo_recording.webm.
# Usage: scripts/demo.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build="$(cd "${1:-build}" && pwd)"
scripts="$(pwd)/scripts/demo"
work="$build/demo"
mkdir -p "$work"
cd "$work"

# The recorder's demo logo; the editor's demo edits the recording.
mkdir -p "$work/html5fs/persistent"
cp "$scripts/logo.png" "$work/html5fs/persistent/demo_logo.png"

for module in encoder_module edit_module; do
  echo "== $module: messages to the page (standard output), console (standard error)"
  "$build/plugin-host" "$build/$module.so" \
    --persistent "$work/html5fs/persistent" --temporary "$work/html5fs/temporary" \
    "$scripts/$module.jsonl" 2>&1
  echo
done
echo "Files the modules wrote are under $work/html5fs"
if [ -f "$work/html5fs/persistent/demo_recording.webm" ]; then
  echo "The 5 s demo recording is $work/html5fs/persistent/demo_recording.webm"
  echo "  (/html5_persistent/demo_recording.webm to the modules)"
fi
