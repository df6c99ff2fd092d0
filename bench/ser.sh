#!/usr/bin/env bash
# Raw Bayer SER to AVI: kestrel-batch --colour against ffmpeg decoding the same file to bgr24,
# at 8 and 16 bits; and a master dark averaged from dark videos of two lengths, its time and
# peak memory. Builds nothing; see bench/README.md.
set -euo pipefail
source "$(dirname "$0")/common.sh"

usage() {
    cat <<'EOF'
Usage: bench/ser.sh [options] [BUILD_DIR]

  BUILD_DIR          where kestrel-batch and kestrel-synth were built (default build)
  --frames N         frames of each SER video (default 100)
  --size WxH         size of the videos (default 1920x1080)
  --reps N           repetitions per tool, the best one counts (default 3)
  --dark-frames "A B"  frame counts of the dark videos (default "10 100")
  --tmp DIR          where the temporary directory goes (default $TMPDIR or /tmp)
  --help             show this text
EOF
}

build=build
frames=100
size=1920x1080
reps=3
dark_frames="10 100"
tmp_parent=${TMPDIR:-/tmp}

own_option() {
    [[ $1 == --dark-frames ]] || return 1
    dark_frames=$2
}
parse_options "$@"
for n in $dark_frames; do is_count "$n" || die "--dark-frames wants whole numbers, not '$n'"; done

batch=$build/kestrel-batch
synth=$build/kestrel-synth
[[ -x $batch ]] || die "$batch not found: build first (cmake --build $build)"
[[ -x $synth ]] || die "$synth not found: build first (cmake --build $build)"
command -v ffmpeg >/dev/null || die "ffmpeg not found: it is what this benchmark compares with"
timer=/usr/bin/time
[[ -x $timer ]] || { timer=; echo "note: /usr/bin/time not found (Debian package 'time'): no peak memory"; }

make_tmp "$tmp_parent"
w=${size%x*}
h=${size#*x}
need_kb $((w * h * (2 + 3) * frames * 2 / 1024 + 65536))

printf '%-24s %9s %10s %10s %12s\n' run seconds frames/s "x ffmpeg" "peak RSS"
row() {  # NAME FFMPEG_NAME
    awk -v n="$1" -v s="${best_s[$1]}" -v f="$frames" -v ff="${best_s[$2]:-}" \
        -v kb="${best_kb[$1]:-}" 'BEGIN {
        xf = (ff != "" && ff > 0) ? sprintf("%.2f", s / ff) : "-"
        mem = kb != "" ? sprintf("%.1f MB", kb / 1024) : "-"
        printf "%-24s %9.3f %10.1f %10s %12s\n", n, s, f / s, xf, mem
    }'
}
for bits in 8 16; do
    in=$tmp/bayer$bits.ser
    timed "$synth" --width "$w" --height "$h" --frames "$frames" --format bayer --bits "$bits" \
        --output "$in" --no-dark
    # Both outputs on the disk when the clock stops: Kestrel syncs its own before the rename.
    bench "ffmpeg+sync $bits-bit" "$tmp/out.avi" \
        "${ffmpeg_synced[@]}" -y -v error -i "$in" -c:v rawvideo -pix_fmt bgr24 "$tmp/out.avi"
    bench "kestrel-batch $bits-bit" "$tmp/out.avi" "$batch" -y -q --colour "$in" "$tmp/out.avi"
    row "ffmpeg+sync $bits-bit" "ffmpeg+sync $bits-bit"
    row "kestrel-batch $bits-bit" "ffmpeg+sync $bits-bit"
    rm -f "$in"
done

echo
echo "master dark from a ${w}x${h} Bayer SER dark video, colour, applied to a 1-frame input:"
printf '%-12s %9s %12s\n' "dark frames" seconds "peak RSS"
for n in $dark_frames; do
    timed "$synth" --width "$w" --height "$h" --frames 1 --format bayer --output "$tmp/one.ser" \
        --dark "$tmp/dark.ser" --dark-frames "$n"
    unset 'best_s[dark]' 'best_kb[dark]'
    bench dark "$tmp/out.avi" "$batch" -y -q --colour --subtract-dark --dark "$tmp/dark.ser" \
        "$tmp/one.ser" "$tmp/out.avi"
    printf '%-12s %9.3f %12s\n' "$n" "${best_s[dark]}" \
        "$(awk -v k="${best_kb[dark]:-}" 'BEGIN { print k != "" ? sprintf("%.1f MB", k / 1024) : "-" }')"
    rm -f "$tmp/dark.ser" "$tmp/one.ser"
done
