#!/usr/bin/env bash
# Pass-through benchmark of the FFmpeg-decoded inputs: kestrel-batch against ffmpeg on an MJPG
# and a YUY2 video that ffmpeg makes. Builds nothing; see bench/README.md.
set -euo pipefail
source "$(dirname "$0")/common.sh"

usage() {
    cat <<'EOF'
Usage: bench/decode_passthrough.sh [options] [BUILD_DIR]

  BUILD_DIR          where kestrel-batch was built (default build)
  --frames N         frames of each video (default 200)
  --size WxH         size of the videos (default 1920x1080)
  --reps N           repetitions per tool, the best one counts (default 3)
  --tmp DIR          where the temporary directory goes (default $TMPDIR or /tmp)
  --help             show this text
EOF
}

build=build
frames=200
size=1920x1080
reps=3
tmp_parent=${TMPDIR:-/tmp}

parse_options "$@"

batch=$build/kestrel-batch
[[ -x $batch ]] || die "$batch not found: build first (cmake --build $build)"
command -v ffmpeg >/dev/null || die "ffmpeg not found: it makes the inputs"

make_tmp "$tmp_parent"

w=${size%x*}
h=${size#*x}
# The YUY2 input, one output at a time, and room to spare.
need_kb $((w * h * (2 + 3) * frames / 1024 + 65536))


declare -A encode=(
    [MJPG]="-c:v mjpeg -q:v 3"
    [YUY2]="-c:v rawvideo -pix_fmt yuyv422 -vtag YUY2"
)
rows=()
for fmt in MJPG YUY2; do
    in=$tmp/in-$fmt.avi
    echo "making a ${w}x${h} $fmt video of $frames frames ..."
    # shellcheck disable=SC2086  # the options are words
    timed ffmpeg -nostdin -y -v error -f lavfi -i "testsrc2=size=${w}x${h}:rate=25" \
        -frames:v "$frames" ${encode[$fmt]} "$in"
    echo "  $(($(stat -c %s "$in") / 1048576)) MB in $run_seconds s"
    # No correction is switched on by default: the run decodes, converts and writes.
    out=$tmp/out.avi
    bench "kestrel $fmt" "$out" "$batch" -y -q --colour "$in" "$out"
    to_raw=(-nostdin -y -v error -i "$in" -c:v rawvideo -pix_fmt bgr24 "$out")
    bench "ffmpeg $fmt" "$out" ffmpeg "${to_raw[@]}"
    bench "synced $fmt" "$out" "${ffmpeg_synced[@]}" "${to_raw[@]}"
    rows+=("$fmt ${best_s[kestrel $fmt]} ${best_s[ffmpeg $fmt]} ${best_s[synced $fmt]}")
    rm -f "$in"
done

echo
echo "pass-through of ${w}x${h} x $frames frames to raw bgr24, best of $reps:"
printf '%-6s %12s %12s %12s %12s %12s %12s\n' input "kestrel s" "kestrel fps" \
    "ffmpeg s" "ffmpeg fps" "+sync s" "+sync fps"
for row in "${rows[@]}"; do
    read -r fmt k f fs <<<"$row"
    awk -v n="$fmt" -v k="$k" -v f="$f" -v fs="$fs" -v fr="$frames" 'BEGIN {
        printf "%-6s %12.3f %12.1f %12.3f %12.1f %12.3f %12.1f\n", n, k, fr / k, f, fr / f, fs, fr / fs
    }'
done
