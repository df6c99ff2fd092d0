#!/usr/bin/env bash
# Holds the folders to their layers by reading the #include lines: each folder may include only
# the folders below it (and itself), the core folders include no Qt header, and FFmpeg's headers
# stay in the files that wrap it. Usage: tests/check_layers.sh [SOURCE_DIR]
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"

declare -A may=(
  [base]="base"
  [settings]="base settings"
  [io]="base settings io"
  [corrections]="base settings corrections"
  [run]="base settings io corrections run"
  [cli]="base settings io corrections run cli"
  [desktop]="base settings io corrections run desktop"
  [tools]="base settings io tools"
)
core="base settings io corrections run"

failed=0
complain() {
  echo "$1" >&2
  failed=1
}

for folder in "${!may[@]}"; do
  [ -d "$folder" ] || continue
  while IFS= read -r -d '' file; do
    while IFS=: read -r line text; do
      if [[ $text =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*\"([a-z_]+)/ ]]; then
        to=${BASH_REMATCH[1]}
        # Only folders of the project count; "support/..." and the like are not layers.
        [ -n "${may[$to]:-}" ] || continue
        [[ " ${may[$folder]} " == *" $to "* ]] ||
          complain "$file:$line: $folder/ may not include $to/ (${text#*#})"
      elif [[ $text =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*\<(Q[A-Za-z]*) ]]; then
        [[ " $core " != *" $folder "* ]] ||
          complain "$file:$line: the core may not include Qt (${text#*#})"
      elif [[ $text =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*\<(libav|libsw) ]]; then
        [[ $file == io/ffmpeg_* ]] ||
          complain "$file:$line: FFmpeg's headers belong in io/ffmpeg_* (${text#*#})"
      fi
    done < <(grep -n '#[[:space:]]*include' "$file" || true)
  done < <(find "$folder" -type f \( -name '*.cpp' -o -name '*.h' \) -print0)
done

[ $failed -eq 0 ] && echo "layers hold: ${!may[*]}"
exit $failed
