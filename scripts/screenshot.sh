#!/usr/bin/env bash
# Takes a screenshot of the window on a virtual X server (Xvfb) into
# docs/window.png. Not part of the tests. Needs xvfb, xauth, x11-utils
# (xwininfo) and imagemagick (import).
# Usage: scripts/screenshot.sh [BUILD_DIR]   (default: build-release)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build-release}
program=$build/app/dovrename
if [[ ! -x "$program" ]]; then
  echo "screenshot.sh: $program is not built (cmake --build $build --target dovrename)" >&2
  exit 1
fi
for tool in xvfb-run xwininfo import; do
  command -v "$tool" >/dev/null || { echo "screenshot.sh: $tool is missing" >&2; exit 1; }
done

# The window in English, at 96 pixels per inch.
shoot() {
  xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" env -u QT_QPA_PLATFORM -u LANGUAGE LC_ALL=C.UTF-8 \
    bash -c '
    set -euo pipefail
    "$1" &
    pid=$!
    trap "kill $pid 2>/dev/null || true" EXIT
    title="Rename/Move Audio Files based on file tags (v2.6)"
    id=
    for _ in $(seq 100); do
      id=$(xwininfo -root -tree 2>/dev/null | awk -v t="\"$title\"" "index(\$0, t) {print \$1; exit}")
      [[ -n "$id" ]] && break
      sleep 0.1
    done
    if [[ -z "$id" ]]; then echo "screenshot.sh: the window did not appear" >&2; exit 1; fi
    sleep 1  # let it paint
    import -window "$id" "$2"
  ' bash "$program" docs/window.png
}
# xvfb-run -a can lose the race for a display number to another X server
# starting at the same time: try again.
for attempt in 1 2 3; do
  if shoot; then
    echo "screenshot.sh: wrote docs/window.png"
    exit 0
  fi
  echo "screenshot.sh: attempt $attempt failed" >&2
  sleep 2
done
exit 1
