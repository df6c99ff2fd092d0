#!/usr/bin/env bash
# End-to-end pass-through benchmark: kestrel-batch against ffmpeg and cp on one synthetic
# colour video, and kestrel-batch's peak memory on a short and a long video. Builds nothing;
# see bench/README.md.
set -euo pipefail
source "$(dirname "$0")/common.sh"

usage() {
    cat <<'EOF'
Usage: bench/passthrough.sh [options] [BUILD_DIR]

  BUILD_DIR          where kestrel-batch and kestrel-synth were built (default build)
  --frames N         frames of the main video (default 300)
  --size WxH         size of the main video (default 1920x1080)
  --reps N           repetitions per tool, the best one counts (default 3)
  --small-size WxH   size of the memory-growth videos (default 640x480)
  --small-frames "A B"  frame counts of the memory-growth videos (default "100 3000")
  --tmp DIR          where the temporary directory goes (default $TMPDIR or /tmp)
  --help             show this text
EOF
}

build=build
frames=300
size=1920x1080
reps=3
small_size=640x480
small_frames="100 3000"
tmp_parent=${TMPDIR:-/tmp}

own_option() {
    case $1 in
        --small-size) small_size=$2 ;;
        --small-frames) small_frames=$2 ;;
        *) return 1 ;;
    esac
}
parse_options "$@"
is_size "$small_size" || die "--small-size wants WxH, not '$small_size'"
for n in $small_frames; do is_count "$n" || die "--small-frames wants whole numbers, not '$n'"; done

batch=$build/kestrel-batch
synth=$build/kestrel-synth
[[ -x $batch ]] || die "$batch not found: build first (cmake --build $build)"
[[ -x $synth ]] || die "$synth not found: build first (cmake --build $build)"
have_ffmpeg=1
command -v ffmpeg >/dev/null || { have_ffmpeg=0; echo "note: ffmpeg not found, its row is skipped"; }
timer=/usr/bin/time
[[ -x $timer ]] || { timer=; echo "note: /usr/bin/time not found (Debian package 'time'): no peak memory"; }

make_tmp "$tmp_parent"

w=${size%x*}
h=${size#*x}
in=$tmp/in.avi
bytes=$((w * h * 3 * frames))
need_kb $((bytes * 2 / 1024 + 65536))

echo "making a ${w}x${h} colour video of $frames frames ($((bytes / 1048576)) MB) ..."
timed "$synth" --width "$w" --height "$h" --frames "$frames" --colour --output "$in" --no-dark
echo "  kestrel-synth: $run_seconds s"

bench kestrel-batch "$tmp/out-kestrel.avi" "$batch" -y --colour "$in" "$tmp/out-kestrel.avi"
if ((have_ffmpeg)); then
    bench ffmpeg "$tmp/out-ffmpeg.avi" ffmpeg -y -v error -i "$in" -c:v rawvideo -pix_fmt bgr24 "$tmp/out-ffmpeg.avi"
fi
bench cp "$tmp/out-cp.avi" cp "$in" "$tmp/out-cp.avi"

echo
echo "pass-through of ${w}x${h} x $frames frames, best of $reps:"
printf '%-14s %9s %10s %10s %8s %12s\n' tool seconds frames/s "x ffmpeg" "x cp" "peak RSS"
for name in kestrel-batch ffmpeg cp; do
    [[ -n ${best_s[$name]:-} ]] || continue
    awk -v n="$name" -v s="${best_s[$name]}" -v f="$frames" -v ff="${best_s[ffmpeg]:-}" \
        -v cp="${best_s[cp]}" -v kb="${best_kb[$name]:-}" 'BEGIN {
        fps = s > 0 ? sprintf("%.1f", f / s) : "-"
        xf = (ff != "" && ff > 0) ? sprintf("%.2f", s / ff) : "-"
        xc = cp > 0 ? sprintf("%.2f", s / cp) : "-"
        mem = kb != "" ? sprintf("%.1f MB", kb / 1024) : "-"
        printf "%-14s %9.3f %10s %10s %8s %12s\n", n, s, fps, xf, xc, mem
    }'
done
rm -f "$in"

if [[ -z $timer ]]; then
    echo "(peak memory by frame count needs /usr/bin/time)"
    exit 0
fi
sw=${small_size%x*}
sh=${small_size#*x}
echo
echo "kestrel-batch peak memory by frame count, ${sw}x${sh} colour:"
printf '%-10s %12s %9s\n' frames "peak RSS" seconds
first_kb=
last_kb=
for n in $small_frames; do
    small=$tmp/small.avi
    need_kb $((sw * sh * 3 * n * 2 / 1024 + 65536))
    timed "$synth" --width "$sw" --height "$sh" --frames "$n" --colour --output "$small" --no-dark
    timed "$batch" -y --colour "$small" "$tmp/small-out.avi"
    [[ -s $tmp/small-out.avi ]] || { cat "$tmp/log" >&2; die "kestrel-batch wrote nothing"; }
    rm -f "$small" "$tmp/small-out.avi"
    printf '%-10s %9.1f MB %9s\n' "$n" "$(awk -v k="$run_kb" 'BEGIN { print k / 1024 }')" "$run_seconds"
    [[ -n $first_kb ]] || first_kb=$run_kb
    last_kb=$run_kb
done
# Allow for allocator noise: a quarter more, or 8 MB, whichever is larger.
slack=$((first_kb / 4 > 8192 ? first_kb / 4 : 8192))
if ((last_kb > first_kb + slack)); then
    echo "peak memory GROWS with the frame count: $((first_kb / 1024)) MB -> $((last_kb / 1024)) MB"
    exit 1
fi
echo "peak memory does not grow with the frame count"
