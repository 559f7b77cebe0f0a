#!/usr/bin/env bash
# Times two builds of morvask writing a 1 GiB file over an existing 1 GiB destination in FOLDER
# (on the file system to measure), in turn (A B A B), each after the destination is written afresh
# and a sync; prints each one's median and the ratio B / A. With --backed, 3 GiB of memory are
# touched and freed before each run, so that neither pays for memory the machine has yet to back
# (a virtual machine may back memory only when first touched, at about 2.5 s per GiB). With
# --linked, the destination has a second name, so that it is not replaced but gets the new contents
# copied in. The source is build/bench-data's, as compare.sh makes it.
#
#   bench/over_a_file.sh [--backed] [--linked] A-BINARY B-BINARY FOLDER [ROUNDS]
set -euo pipefail
cd "$(dirname "$0")/.."
backed=false
linked=false
while [[ ${1-} == --backed || ${1-} == --linked ]]; do
    [[ $1 == --backed ]] && backed=true || linked=true
    shift
done
a=$(realpath "$1")
b=$(realpath "$2")
folder=$3
rounds=${4:-5}
source=build/bench-data/random-1GiB
if [[ ! -f $source ]]; then
    mkdir -p build/bench-data
    head -c $((1 << 30)) /dev/urandom >"$source.part"
    mv "$source.part" "$source"
fi
cat "$source" >/dev/null # into the page cache
destination=$folder/destination

declare -A times
timed() {
    local name=$1 start end
    rm -f "$destination" "$destination.link"
    head -c $((1 << 30)) /dev/zero >"$destination"
    if $linked; then
        ln -f "$destination" "$destination.link"
    fi
    sync
    if $backed; then
        python3 -c 'bytearray(b"\1") * (3 << 30)'
    fi
    start=$EPOCHREALTIME
    "$name" -e "$source" "$destination" >/dev/null
    end=$EPOCHREALTIME
    times[$name]+="$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f", e - s }') "
}
for ((round = 1; round <= rounds; round++)); do
    timed "$a"
    timed "$b"
done
rm -f "$destination" "$destination.link"

median() { tr ' ' '\n' <<<"${times[$1]}" | sed '/^$/d' | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
echo "1 GiB over 1 GiB in $folder ($(stat -f -c %T "$folder")), median of $rounds rounds, seconds$($backed && echo ', memory backed first')$($linked && echo ', the destination with a second name')"
for name in "$a" "$b"; do
    printf '  %-40s %s   (%s)\n' "$name" "$(median "$name")" "${times[$name]% }"
done
printf '  ratio B / A: %s\n' "$(awk -v a="$(median "$a")" -v b="$(median "$b")" 'BEGIN { printf "%.2f", b / a }')"
