#!/usr/bin/env bash
# Loads each module into plugin-host and plays its page scripts
# (scripts/demo/<module>*.jsonl), showing what the page receives: first the
# recorder, which records 5 s (screen pattern, camera, branding, tone) to
# /html5_persistent/demo_recording.webm, then the editor, which edits the
# recording into an MP4 and a GIF.
# Usage: scripts/demo.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build="$(cd "${1:-build}" && pwd)"
scripts="$(pwd)/scripts/demo"
work="$build/demo"
persistent="$work/html5fs/persistent"
mkdir -p "$persistent" "$work/html5fs/temporary"
cd "$work"

# The recorder's demo logo.
cp "$scripts/logo.png" "$persistent/demo_logo.png"

play() {  # module, script name
  echo "== $1 ($2): messages to the page (standard output), console (standard error)"
  "$build/plugin-host" "$build/$1.so" \
    --persistent "$persistent" --temporary "$work/html5fs/temporary" \
    "$scripts/$2.jsonl" 2>&1
  echo
}

play encoder_module encoder_module

recording="$persistent/demo_recording.webm"
if [ ! -s "$recording" ]; then
  echo "demo: the recorder wrote no $recording" >&2
  exit 1
fi

play edit_module edit_module
play edit_module edit_module_gif

echo "Files the modules wrote are under $work/html5fs"
echo "The recording:       $recording"
echo "Edited into an MP4:  $persistent/demo_edit.mp4"
echo "Edited into a GIF:   $persistent/demo_edit.gif"
