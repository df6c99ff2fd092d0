# Helpers of the benchmark scripts, sourced by them. Uses $reps, and $timer when it names
# /usr/bin/time (else no peak memory is measured).

script_name=${0##*/}
die() { echo "$script_name: $*" >&2; exit 1; }
is_count() { [[ $1 =~ ^[1-9][0-9]*$ ]]; }
is_size() { [[ $1 =~ ^[1-9][0-9]*x[1-9][0-9]*$ ]]; }

# parse_options "$@": the options every benchmark takes into build, frames, size, reps and
# tmp_parent (the script sets their defaults first, and `usage`). An option of the script's own
# that takes a value goes to `own_option NAME VALUE`, when the script defines it, which returns
# non-zero for a name it does not know.
parse_options() {
    while (($#)); do
        case $1 in
            --frames) frames=${2:?--frames needs a value}; shift 2 ;;
            --size) size=${2:?--size needs a value}; shift 2 ;;
            --reps) reps=${2:?--reps needs a value}; shift 2 ;;
            --tmp) tmp_parent=${2:?--tmp needs a value}; shift 2 ;;
            --help|-h) usage; exit 0 ;;
            -*)
                if declare -F own_option >/dev/null && own_option "$1" "${2-}"; then
                    (($# >= 2)) || die "$1 needs a value"
                    shift 2
                else
                    echo "$script_name: unknown option '$1'" >&2; usage >&2; exit 2
                fi ;;
            *) build=$1; shift ;;
        esac
    done
    is_count "$frames" || die "--frames wants a positive whole number, not '$frames'"
    is_count "$reps" || die "--reps wants a positive whole number, not '$reps'"
    is_size "$size" || die "--size wants WxH, not '$size'"
}

# kestrel-batch makes its output durable before renaming it over the old one; so that the two
# are timed alike, ffmpeg can be timed with its output synced to the disk too. A command, not a
# function, so that /usr/bin/time can run it: "${ffmpeg_synced[@]}" ARGS... OUT.
ffmpeg_synced=(bash -c 'ffmpeg "$@" && sync "${@: -1}"' ffmpeg)

# Sets $tmp to a new directory under $1, removed when the script ends.
make_tmp() {
    tmp=$(mktemp -d "$1/kestrel-bench-XXXXXX")
    trap 'rm -rf "$tmp"' EXIT
    trap 'exit 130' INT TERM
}

# Ends the benchmark unless $tmp's file system has more than $1 KB free.
need_kb() {
    local free_kb
    free_kb=$(df -Pk "$tmp" | awk 'NR == 2 { print $4 }')
    ((free_kb > $1)) || die "$tmp has $((free_kb / 1024)) MB free, needs about $(($1 / 1024)) MB"
}

# One timed run of "$@": sets run_seconds (wall clock) and run_kb (peak RSS, or empty).
# Output goes to $tmp/log; a failing command ends the benchmark with its log.
timed() {
    local start end
    start=$EPOCHREALTIME
    if [[ -n ${timer:-} ]]; then
        "$timer" -f %M -o "$tmp/rss" "$@" >"$tmp/log" 2>&1 || { cat "$tmp/log" >&2; die "failed: $*"; }
    else
        "$@" >"$tmp/log" 2>&1 || { cat "$tmp/log" >&2; die "failed: $*"; }
    fi
    end=$EPOCHREALTIME
    run_seconds=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }')
    run_kb=
    [[ -n ${timer:-} ]] && run_kb=$(tail -n 1 "$tmp/rss")
    return 0
}

# bench NAME OUT COMMAND...: best of $reps runs into best_s[NAME], peak RSS over them into
# best_kb[NAME]; OUT is removed after each run so the disk holds one copy at most.
declare -A best_s best_kb
bench() {
    local name=$1 out=$2
    shift 2
    local i
    for ((i = 0; i < reps; i++)); do
        timed "$@"
        [[ -s $out ]] || { cat "$tmp/log" >&2; die "$name wrote nothing to $out"; }
        rm -f "$out"
        if [[ -z ${best_s[$name]:-} ]] || awk -v a="$run_seconds" -v b="${best_s[$name]}" 'BEGIN { exit !(a < b) }'; then
            best_s[$name]=$run_seconds
        fi
        if [[ -n $run_kb ]] && { [[ -z ${best_kb[$name]:-} ]] || ((run_kb > best_kb[$name])); }; then
            best_kb[$name]=$run_kb
        fi
    done
}
