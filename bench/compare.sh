#!/usr/bin/env bash
# Times morvask against tr (the same byte mapping) and a plain dd copy on a 1 GiB file of random
# bytes in the page cache, and prints the median of 5 rounds, the ratios, and morvask's peak
# memory. The file is kept in build/bench-data between runs.
#
# Needs: the release build's prerequisites, GNU coreutils, and /usr/bin/time (package time).
set -euo pipefail
cd "$(dirname "$0")/.."
export LC_ALL=C

rounds=5
cmake --workflow --preset release >/dev/null
morvask=build/release/morvask
data=build/bench-data
mkdir -p "$data"
source=$data/random-1GiB
if [[ ! -f $source ]]; then
    head -c $((1 << 30)) /dev/urandom >"$source.part"
    mv "$source.part" "$source"
fi
head -c 1024 "$source" >"$data/random-1KiB"

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
# Runs a command after a sync, with the output file removed, and records its wall time.
timed() {
    local name=$1 start end
    shift
    sync
    rm -f "$out"
    start=$EPOCHREALTIME
    "$@"
    end=$EPOCHREALTIME
    times[$name]+="$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f", e - s }') "
}
for ((round = 1; round <= rounds; round++)); do
    timed "morvask -e to /dev/null" "$morvask" -e "$source" /dev/null >/dev/null
    timed "tr to /dev/null" morvask_tr <"$source" >/dev/null
    timed "morvask -e to a new file" "$morvask" -e "$source" "$out" >/dev/null
    timed "dd bs=128K to a new file" dd if="$source" of="$out" bs=128K status=none
    timed "tr to a new file" morvask_tr <"$source" >"$out"
done
rm -f "$out"

median() { tr ' ' '\n' <<<"${times[$1]}" | sed '/^$/d' | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
ratio() { awk -v a="$(median "$1")" -v b="$(median "$2")" 'BEGIN { printf "%.2f", a / b }'; }

echo "machine: $(sed -n 's/^model name\t*: //p' /proc/cpuinfo | head -1), $(nproc) CPUs, Linux $(uname -r)"
echo "file: $source, $(stat -c %s "$source") bytes; median of $rounds rounds, seconds"
for name in "morvask -e to /dev/null" "tr to /dev/null" "morvask -e to a new file" \
    "dd bs=128K to a new file" "tr to a new file"; do
    printf '  %-26s %s   (%s)\n' "$name" "$(median "$name")" "${times[$name]% }"
done
echo "ratios"
printf '  %-26s %s\n' "morvask / tr, /dev/null" "$(ratio "morvask -e to /dev/null" "tr to /dev/null")"
printf '  %-26s %s\n' "morvask / dd, new file" "$(ratio "morvask -e to a new file" "dd bs=128K to a new file")"
printf '  %-26s %s\n' "morvask / tr, new file" "$(ratio "morvask -e to a new file" "tr to a new file")"
echo "peak memory of morvask -e to /dev/null, KiB"
for size in 1KiB 1GiB; do
    printf '  %-26s %s\n' "$size file" \
        "$(/usr/bin/time -f %M "$morvask" -e "$data/random-$size" /dev/null 2>&1 >/dev/null)"
done
