#!/usr/bin/env bash
# Writes the seed corpora in fuzz/corpus/: AVI files from FFmpeg, kestrel-synth and
# kestrel-batch, bitmaps from ImageMagick, FFmpeg and kestrel-synth, settings files and command
# lines. Needs ffmpeg, ImageMagick's convert and a build of the programs
# ($KESTREL_BUILD_DIR, default build/).
set -euo pipefail
cd "$(dirname "$0")/.."
bin="${KESTREL_BUILD_DIR:-build}"
out=fuzz/corpus
rm -rf "$out"
mkdir -p "$out"/{fuzz_avi,fuzz_ser,fuzz_bmp,fuzz_ini,fuzz_cli}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

ff() { ffmpeg -nostdin -loglevel error -y "$@"; }
src=(-f lavfi -i testsrc2=size=16x12:rate=5 -frames:v 3 -fflags +bitexact -flags:v +bitexact)

# AVI: raw layouts and a few codecs FFmpeg decodes, then Kestrel's own files.
a=$out/fuzz_avi
ff "${src[@]}" -c:v rawvideo -pix_fmt bgr24 "$a/ffmpeg-bgr24.avi"
ff "${src[@]}" -c:v rawvideo -pix_fmt pal8 "$a/ffmpeg-pal8.avi"
ff "${src[@]}" -c:v rawvideo -pix_fmt gray "$a/ffmpeg-y800.avi"
ff "${src[@]}" -c:v rawvideo -pix_fmt rgb555le "$a/ffmpeg-rgb555.avi"
ff "${src[@]}" -c:v rawvideo -pix_fmt bgra "$a/ffmpeg-bgra.avi"
ff "${src[@]}" -c:v rawvideo -pix_fmt yuyv422 "$a/ffmpeg-yuy2.avi"
ff "${src[@]}" -c:v rawvideo -pix_fmt yuv420p "$a/ffmpeg-i420.avi"
ff "${src[@]}" -c:v mjpeg -q:v 10 "$a/ffmpeg-mjpg.avi"
ff "${src[@]}" -c:v huffyuv "$a/ffmpeg-hfyu.avi"
ff "${src[@]}" -c:v ffv1 "$a/ffmpeg-ffv1.avi"
"$bin/kestrel-synth" --width 16 --height 12 --frames 3 --format bgr24 --colour \
  --output "$a/synth-bgr24.avi" --no-dark >/dev/null
"$bin/kestrel-synth" --width 15 --height 9 --frames 3 --format pal8 \
  --output "$a/synth-pal8.avi" --no-dark >/dev/null
"$bin/kestrel-synth" --width 13 --height 7 --frames 4 --format y800 \
  --output "$a/synth-y800.avi" --no-dark >/dev/null
"$bin/kestrel-batch" --yes --quiet --vertical --stretch "$a/synth-y800.avi" \
  "$a/kestrel-output.avi"

# SER: every colour layout, depths and byte orders kestrel-synth writes, a Bayer AVI for the
# dark-video path, and Kestrel's own SER output.
r=$out/fuzz_ser
synth_ser() {
  local name=$1
  shift
  "$bin/kestrel-synth" --width 10 --height 6 --frames 3 --no-dark --output "$r/$name" "$@" \
    >/dev/null
}
synth_ser synth-mono8.ser --format y800
synth_ser synth-bayer8.ser --format bayer --pattern GBRG
synth_ser synth-rgb8.ser --format rgb --colour --no-timestamps
synth_ser synth-mono12-be.ser --format y800 --bits 12 --byte-order be
synth_ser synth-bayer16-flag1.ser --format bayer --bits 16 --le-flag 1
"$bin/kestrel-synth" --width 8 --height 4 --frames 2 --format bayer --no-dark \
  --output "$r/synth-bayer.avi" >/dev/null
"$bin/kestrel-batch" --yes --quiet --colour "$r/synth-bayer8.ser" "$r/kestrel-output.ser"

# BMP: every depth and header version the two writers make.
b=$out/fuzz_bmp
convert -size 16x12 gradient:gray20-gray80 "BMP3:$b/magick-v3-24.bmp"
convert -size 16x12 gradient:red-blue "BMP:$b/magick-v5-24.bmp"
convert -size 16x12 gradient:gray10-gray90 -type palette "BMP3:$b/magick-v3-pal8.bmp"
convert -size 16x12 gradient:red-blue -alpha on -channel A -evaluate set 50% \
  "BMP:$b/magick-v5-32.bmp"
convert -size 16x12 gradient:red-blue -alpha on "BMP3:$b/magick-v3-32.bmp"
convert -size 16x12 pattern:checkerboard -monochrome "BMP3:$b/magick-v3-1bit.bmp"
convert -size 16x12 xc:gray "BMP2:$b/magick-v2-grey.bmp"
for f in bgr24 bgra rgb565le rgb555le rgb444le gray pal8 rgb8 rgb4_byte monob; do
  ff -f lavfi -i testsrc2=size=8x6 -frames:v 1 -pix_fmt "$f" "$b/ffmpeg-$f.bmp"
done
"$bin/kestrel-synth" --width 16 --height 12 --frames 1 --colour --output "$tmp/x.avi" \
  --dark "$b/synth-dark.bmp" >/dev/null

# Settings files: as Kestrel writes them, and as people edit them.
i=$out/fuzz_ini
printf '[Filenames]\nInputFile=/home/sky/m42.avi\nOutputFile=/home/sky/m42-out.avi\nDarkFrame=/home/sky/dark.bmp\n[Flags]\nSubDark=1\nHot=1\nHoriz=0\nVert=1\nStretch=1\nColour=0\n[Values]\nHotThreshold=200\nStretchLow=0\nStretchHigh=100\nBorder=15\nGradSmooth=5\nNoiseLevel=10\n' >"$i/kestrel.ini"
printf '\xEF\xBB\xBF; edited on Windows\r\n[filenames]\r\n  InputFile = "C:\\Capture\\Jupiter.AVI" \r\noutputfile=C:\\Out.AVI\r\n\r\n[Other]\r\nkey=value\r\n[FLAGS]\r\nColour=1\r\nHot=yes\r\n' >"$i/crlf-bom.ini"
printf '[Values]\nHotThreshold=-2147483649\nStretchLow=99999999999\nBorder=+12abc\nGradSmooth=\nNoiseLevel=  7  \n[Values]\nBorder=3\n# comment\n[Filenames]\nDarkFrame='"'"' spaced name '"'"'\nDarkFrame=second\nInputFile="quoted"twice"\n' >"$i/odd-values.ini"
printf '[Filenames]\nInputFile=%0300d\nOutputFile=caf\xC3\xA9\xE2\x82\xAC\n[Flags\nSubDark=1\n=empty key\nno equals sign\n[Flags]SubDark=1\n' 0 >"$i/long-and-broken.ini"
printf '[Flags]\nStretch=1' >"$i/unterminated.ini"

# Command lines, one argument a line.
c=$out/fuzz_cli
printf '%s\n' in.avi out.avi >"$c/plain"
printf '%s\n' -d dark.bmp --subtract-dark --hot-pixels --vertical --horizontal --stretch \
  --colour --hot-threshold 180 --stretch-low=5 --stretch-high 95 --border 20 \
  --grad-smooth=7 --noise-level 12 -y -q in.avi out.avi >"$c/everything"
printf '%s\n' --settings mine.ini --save-settings saved.ini --color >"$c/settings"
printf '%s\n' --settings odd.ini in.avi out.avi >"$c/settings-missing"
printf '%s\n' --border 101 in.avi out.avi >"$c/out-of-range"
printf '%s\n' --hot-threshold=2x in.avi out.avi >"$c/not-a-number"
printf '%s\n' --stretch=1 --unknown in.avi >"$c/bad-options"
printf '%s\n' -- -in.avi -out.avi >"$c/dash-dash"
printf '%s\n' --noise-level >"$c/missing-value"
printf '%s\n' --help >"$c/help"
printf '%s\n' --version extra >"$c/version"
printf '%s\n' a b c >"$c/too-many"
printf '%s\n' "$(printf 'x%.0s' $(seq 300))" out.avi >"$c/long-name"
