#!/usr/bin/env bash
# Starts the editor under Xvfb and saves pictures of its main window and of
# its small windows, for a person to look at (not run by CI).
#   tests/app/screenshots.sh [build-dir] [out-dir]
set -euo pipefail
build=${1:-build}
out=${2:-$build/screenshots}
mkdir -p "$out"
for f in "$build/app/KwVtFe32" "$build/tests/app/screen_grab" "$build/tests/app/dialog_gallery" \
  "$build/tests/app/app_restore_test" "$build/tests/app/app_copy_test" \
  "$build/tests/app/app_hidden_parts_test"; do
  [ -x "$f" ] || { echo "screenshots: $f is missing; run make build first" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export KW_SETTINGS="$work/settings.ini"
export QT_QPA_PLATFORM=xcb

xvfb-run -a -s "-screen 0 1280x900x24" bash -c '
  # A window manager, when one is installed, stacks and decorates the windows
  # as on a desktop.
  wm=$(command -v openbox || true)
  [ -n "$wm" ] && { "$wm" >/dev/null 2>&1 & sleep 1; }
  "$0/app/KwVtFe32" & pid=$!
  "$0/tests/app/screen_grab" "$1/main_window.png" 4000
  kill $pid; wait $pid 2>/dev/null || true
  "$0/tests/app/dialog_gallery" "$1"
  KW_SHOT_DIR="$1" "$0/tests/app/app_restore_test" restoresFileAndFolderTreeByteEqual >/dev/null
  KW_SHOT_DIR="$1" "$0/tests/app/app_copy_test" copiesTwoPartitionsIntoNewImage:high >/dev/null
  KW_SHOT_DIR="$1" "$0/tests/app/app_hidden_parts_test" listsTheUnmountedPartitionsAndBrowsesThem >/dev/null
' "$build" "$out"
ls -1 "$out"
