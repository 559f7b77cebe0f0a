#!/usr/bin/env bash
# Times morvask against tr (the same byte mapping), a plain copy with cat and dd, on a 1 GiB file of
# random bytes in the page cache, and over 1,000 files of 1 KiB against tr and cp; prints the
# median of 5 rounds, the ratios, and morvask's peak memory. The data is kept in build/bench-data
# between runs.
#
#   bench/compare.sh [morvask-binary]     # default: the release build, built first
#
# Needs: the release build's prerequisites, GNU coreutils, and /usr/bin/time (package time).
set -euo pipefail
cd "$(dirname "$0")/.."
export LC_ALL=C

rounds=5
small_files=1000
if (($# > 0)); then
    morvask=$(realpath "$1")
else
    cmake --workflow --preset release >/dev/null
    morvask=$PWD/build/release/morvask
fi
data=build/bench-data
mkdir -p "$data/small"
source=$data/random-1GiB
if [[ ! -f $source ]]; then
    head -c $((1 << 30)) /dev/urandom >"$source.part"
    mv "$source.part" "$source"
fi
head -c 1024 "$source" >"$data/random-1KiB"
for ((i = 0; i < small_files; i++)); do
    [[ -f $data/small/$i ]] || head -c 1024 /dev/urandom >"$data/small/$i"
done

# The table, read off morvask itself by encoding the 256 byte values in order.
for ((i = 0; i < 256; i++)); do
    printf "\\$(printf %03o "$i")"
done >"$data/bytes"
"$morvask" -e "$data/bytes" "$data/bytes.mv" >/dev/null
tr_to=$(od -An -v -to1 "$data/bytes.mv" | tr -s ' \n' ' ' | sed 's/ *$//; s/ \([0-7]*\)/\\\1/g')
morvask_tr() { tr '\000-\377' "$tr_to"; }
morvask_tr <"$data/bytes" | cmp - "$data/bytes.mv" || {
    echo "tr's mapping differs from morvask's table" >&2
    exit 1
}

cat "$source" >/dev/null # into the page cache

declare -A times
out=$data/out
# Runs a command after a sync, with the outputs removed, and records its wall time. Before a run
# that writes a large file, 2 GiB are written and deleted unsynced: on a virtual machine that
# returns freed memory to its host, filling page cache costs up to five times more when nothing was
# freed just before (dd: 1.8 s instead of 0.35 s), so each writer starts from the same state. With
# 1 GiB, the rounds still varied by a quarter.
timed() {
    local name=$1 start end
    shift
    rm -rf "$out"
    if [[ $name == *"new file"* ]]; then
        cat "$source" "$source" >"$out"
        rm -f "$out"
    fi
    sync
    start=$EPOCHREALTIME
    "$@"
    end=$EPOCHREALTIME
    times[$name]+="$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f", e - s }') "
}
# One process per file, as a script over many files runs it.
each_small_file() {
    local i
    mkdir -p "$out"
    for ((i = 0; i < small_files; i++)); do
        "$@" "$data/small/$i" "$out/$i"
    done
}
morvask_file() { "$morvask" -e "$1" "$2" >/dev/null; }
tr_file() { morvask_tr <"$1" >"$2"; }
for ((round = 1; round <= rounds; round++)); do
    timed "morvask -e to /dev/null" "$morvask" -e "$source" /dev/null >/dev/null
    timed "cat to /dev/null" cat "$source" >/dev/null
    timed "tr to /dev/null" morvask_tr <"$source" >/dev/null
    timed "morvask -e to a new file" "$morvask" -e "$source" "$out" >/dev/null
    timed "dd bs=128K to a new file" dd if="$source" of="$out" bs=128K status=none
    timed "tr to a new file" morvask_tr <"$source" >"$out"
    # Each goes first in some round: the first runs while the system still reclaims the large
    # file deleted just before it.
    for ((k = 0; k < 3; k++)); do
        case $(((round + k) % 3)) in
        0) timed "morvask -e, 1 KiB files" each_small_file morvask_file ;;
        1) timed "tr, 1 KiB files" each_small_file tr_file ;;
        2) timed "cp, 1 KiB files" each_small_file cp ;;
        esac
    done
done
rm -rf "$out"

median() { tr ' ' '\n' <<<"${times[$1]}" | sed '/^$/d' | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
ratio() { awk -v a="$(median "$1")" -v b="$(median "$2")" 'BEGIN { printf "%.2f", a / b }'; }

echo "machine: $(sed -n 's/^model name\t*: //p' /proc/cpuinfo | head -1), $(nproc) CPUs, Linux $(uname -r)"
echo "file: $source, $(stat -c %s "$source") bytes; median of $rounds rounds, seconds"
for name in "morvask -e to /dev/null" "cat to /dev/null" "tr to /dev/null" \
    "morvask -e to a new file" "dd bs=128K to a new file" "tr to a new file"; do
    printf '  %-26s %s   (%s)\n' "$name" "$(median "$name")" "${times[$name]% }"
done
echo "$small_files files of 1 KiB, one process each; median of $rounds rounds, microseconds per file"
for name in "morvask -e, 1 KiB files" "tr, 1 KiB files" "cp, 1 KiB files"; do
    printf '  %-26s %s\n' "$name" "$(awk -v t="$(median "$name")" -v n="$small_files" 'BEGIN { printf "%.0f", t / n * 1e6 }')"
done
echo "ratios"
printf '  %-26s %s\n' "morvask / cat, /dev/null" "$(ratio "morvask -e to /dev/null" "cat to /dev/null")"
printf '  %-26s %s\n' "morvask / tr, /dev/null" "$(ratio "morvask -e to /dev/null" "tr to /dev/null")"
printf '  %-26s %s\n' "morvask / dd, new file" "$(ratio "morvask -e to a new file" "dd bs=128K to a new file")"
printf '  %-26s %s\n' "morvask / tr, new file" "$(ratio "morvask -e to a new file" "tr to a new file")"
printf '  %-26s %s\n' "morvask / tr, 1 KiB files" "$(ratio "morvask -e, 1 KiB files" "tr, 1 KiB files")"
printf '  %-26s %s\n' "morvask / cp, 1 KiB files" "$(ratio "morvask -e, 1 KiB files" "cp, 1 KiB files")"
echo "peak memory of morvask -e to /dev/null, KiB"
for size in 1KiB 1GiB; do
    printf '  %-26s %s\n' "$size file" \
        "$(/usr/bin/time -f %M "$morvask" -e "$data/random-$size" /dev/null 2>&1 >/dev/null)"
done
