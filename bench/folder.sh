#!/usr/bin/env bash
# Times the README's two recipes that encode a folder, as written there: the loop, one file after
# another, against xargs -P "$(nproc)", one process per file on every core; over 3,000 files of
# 1 KiB, and apart from them over 4 files of 256 MiB. The two take turns going first, each after
# the last run's output is removed and a sync. Before each run over the large files, 3 GiB of
# memory are touched and freed, so that neither pays for page cache that the machine has yet to
# back (a virtual machine may back memory only when first touched). Prints each one's median, the
# ratio xargs / loop, and each round's ratio beside how much of a second core the machine gave just
# before it, since on a shared machine the ratio follows that. The files are kept in
# build/bench-data between runs.
#
#   bench/folder.sh [morvask-binary [ROUNDS]]    # default: the release build, built first; 5
#
# Needs: the release build's prerequisites, GNU findutils and coreutils, and python3.
set -euo pipefail
cd "$(dirname "$0")/.."
export LC_ALL=C

if (($# > 0)); then
    morvask=$(realpath "$1")
else
    cmake --workflow --preset release >/dev/null
    morvask=$PWD/build/release/morvask
fi
rounds=${2:-5}
data=$PWD/build/bench-data
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/bin"
ln -s "$morvask" "$scratch/bin/morvask"

# The recipes, each a run of indented lines under "A folder at a time"; of those that encode
# without removing anything, the loop and the one through xargs.
awk -v dir="$scratch" '
    /^### A folder at a time$/ { inside = 1; next }
    inside && /^#/ { exit }
    inside && /^    / { if (!open) { n++; open = 1 } print substr($0, 5) > (dir "/recipe." n); next }
    open { close(dir "/recipe." n); open = 0 }
' README.md
loop=
parallel=
for file in "$scratch"/recipe.*; do
    text=$(<"$file")
    [[ $text == *"morvask -e "* && ! $text =~ (^|[[:space:];&|])rm[[:space:]] ]] || continue
    case $text in
    *"xargs "*) parallel=$text ;;
    *"while "*) loop=$text ;;
    esac
done
[[ -n $loop && -n $parallel ]] || {
    echo "README.md has no loop and xargs recipes that encode a folder" >&2
    exit 1
}

# Each set in a folder called notes, as the recipes name it.
make_set() {
    local folder=$data/$1/notes count=$2 size=$3 i
    mkdir -p "$folder"
    for ((i = 0; i < count; i++)); do
        if [[ ! -f $folder/$i || $(stat -c %s "$folder/$i") != "$size" ]]; then
            head -c "$size" /dev/urandom >"$folder/$i.part"
            mv "$folder/$i.part" "$folder/$i"
        fi
    done
}
make_set small-files 3000 1024
make_set large-files 4 $((256 << 20))

declare -A times
# Runs a recipe over one set, from a folder with no encoded copies and after a sync, and records
# its wall time; every file must have been encoded.
timed() {
    local name=$1 set=$2 text=$3 start end count
    find "$data/$set/notes" -name '*.mv' -delete
    cat "$data/$set/notes"/* >/dev/null # into the page cache
    sync
    if [[ $set == large-files ]]; then
        python3 -c 'bytearray(b"\1") * (3 << 30)'
    fi
    start=$EPOCHREALTIME
    (cd "$data/$set" && PATH=$scratch/bin:$PATH bash -c "$text") </dev/null
    end=$EPOCHREALTIME
    count=$(find "$data/$set/notes" -name '*.mv' | wc -l)
    [[ $count == $(find "$data/$set/notes" ! -name '*.mv' -type f | wc -l) ]] || {
        echo "$name over $set encoded $count files, not all" >&2
        exit 1
    }
    times[$name $set]+="$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f", e - s }') "
}
# How much of a second core the machine gives, before each round: a CPU-bound loop run twice at
# once, against once alone; 1.00 when both cores are free, 2.00 when they take turns on one.
spin() { awk 'BEGIN { for (i = 0; i < 1e7; i++) s += i }'; }
cores() {
    local start middle end
    start=$EPOCHREALTIME
    spin
    middle=$EPOCHREALTIME
    spin &
    spin
    wait
    end=$EPOCHREALTIME
    times[cores $1]+="$(awk -v s="$start" -v m="$middle" -v e="$end" 'BEGIN { printf "%.2f", (e - m) / (m - s) }') "
}
for set in small-files large-files; do
    for ((round = 1; round <= rounds; round++)); do
        cores "$set"
        if ((round % 2)); then
            timed loop "$set" "$loop"
            timed xargs "$set" "$parallel"
        else
            timed xargs "$set" "$parallel"
            timed loop "$set" "$loop"
        fi
    done
    find "$data/$set/notes" -name '*.mv' -delete
done

median() { tr ' ' '\n' <<<"${times[$1]}" | sed '/^$/d' | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
echo "machine: $(sed -n 's/^model name\t*: //p' /proc/cpuinfo | head -1), $(nproc) CPUs, Linux $(uname -r)"
echo "the README's recipes encoding a folder, $(stat -f -c %T "$data"); median of $rounds rounds, seconds"
for set in small-files large-files; do
    case $set in
    small-files) echo "3000 files of 1 KiB" ;;
    large-files) echo "4 files of 256 MiB, memory backed first" ;;
    esac
    for name in loop xargs; do
        printf '  %-8s %7s   (%s)\n' "$name" "$(median "$name $set")" "${times[$name $set]% }"
    done
    printf '  ratio xargs / loop: %s\n' \
        "$(awk -v a="$(median "loop $set")" -v b="$(median "xargs $set")" 'BEGIN { printf "%.2f", b / a }')"
    # Each round's ratio beside the share of a second core measured just before it, and the median
    # of the rounds where both cores were free against those where they took turns.
    awk -v loop="${times[loop $set]}" -v xargs="${times[xargs $set]}" -v cores="${times[cores $set]}" '
        function median(list, n,    v, i, j, t) {
            n = split(list, v, " ")
            for (i = 2; i <= n; i++) for (j = i; j > 1 && v[j - 1] + 0 > v[j] + 0; j--) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
            return n ? sprintf("%.2f", v[int((n + 1) / 2)]) : "-"
        }
        BEGIN {
            n = split(loop, l, " "); split(xargs, x, " "); split(cores, c, " ")
            for (i = 1; i <= n; i++) {
                r = sprintf("%.2f", x[i] / l[i])
                line = line " " r " (" c[i] ")"
                if (c[i] < 1.25) { free = free " " r; nfree++ }
                if (c[i] > 1.75) { busy = busy " " r; nbusy++ }
            }
            print "  each round, xargs / loop (two CPU-bound loops at once against one):" line
            printf "  median ratio, both cores free (under 1.25): %s in %d rounds; taking turns (over 1.75): %s in %d\n",
                median(free), nfree, median(busy), nbusy
        }'
done
