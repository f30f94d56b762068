#!/usr/bin/env bash
# Makes the NTFS fixtures the shared images do not cover, with mkntfs and
# ntfs-3g (needs root: FUSE mounts):
#   Tests/Fixtures/ntfs_attrlist   a file in ~300 one-cluster pieces, whose run
#                                  list only fits through an $ATTRIBUTE_LIST;
#                                  deleted files rated by their clusters:
#                                  intact, first cluster reused, a later
#                                  cluster reused
#   Tests/Fixtures/ntfs_bigcluster 128 KiB clusters on 512-byte sectors, so the
#                                  boot sector stores sectors per cluster as
#                                  an exponent (0xF8)
#   Tests/Fixtures/ntfs_fresh      a volume just made by mkntfs: only the file
#                                  system's own files, none of them a user's
# Usage: make-ntfs-fixtures.sh [attrlist] [bigcluster] [fresh] (default: all)
# Each gets the image (zstd), a manifest in the shared format (path, size,
# sha256, status, mtime, fragments, note) and The Sleuth Kit's listing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
mnt="$work/mnt"
cleanup() {
    for _ in $(seq 40); do mountpoint -q "$mnt" || break; umount "$mnt" 2>/dev/null || sleep 0.5; done
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$mnt"

# Deterministic, compressible and per-file distinct content. The writer ends
# by SIGPIPE, which pipefail must not see.
text() ( set +o pipefail; yes "Linje $1: Sovanta gendanner data fra beskadigede diske; æøå ÆØÅ." | head -c "$2" )
unmount() {
    sync
    for _ in $(seq 40); do umount "$mnt" 2>/dev/null && return 0; sleep 0.5; done
    echo "could not unmount $mnt" >&2
    exit 1
}
# The clusters of a record's unnamed $DATA, one line, from istat.
clusters() { istat "$1" "$2" | sed -n '/^Type: \$DATA (128-[0-9]*)   Name: N\/A   Non-Resident/,/^Type:/p' | { grep -E '^[0-9 ]+$' || true; } | tr -s ' \n' ' '; }
# Number of contiguous pieces in a cluster list.
pieces() { echo "$1" | tr ' ' '\n' | awk 'NF{if(n==0||$1!=prev+1)n++; prev=$1} END{print n+0}'; }

# ntfs-3g gives each file its MFT record number as inode number.
declare -A sums sizes times notes statuses inodes
remember() {  # path status note: records the file as it is now on the mount
    inodes[$1]=$(stat -c %i "$mnt/$1")
    sums[$1]=$(sha256sum "$mnt/$1" | cut -d' ' -f1)
    sizes[$1]=$(stat -c %s "$mnt/$1")
    times[$1]=$(TZ=UTC date -d "@$(stat -c %Y "$mnt/$1")" +%Y-%m-%dT%H:%M:%SZ)
    statuses[$1]=$2
    notes[$1]=$3
}
folders=()
folder() { mkdir "$mnt/$1"; folders+=("$1/"); }
manifest() {  # image out [tsk]: writes the manifest of everything remembered;
    # without "tsk" The Sleuth Kit is not asked and fragments stay "-"
    local img=$1 out=$2 tsk=${3:-}
    {
        printf 'path\tsize\tsha256\tstatus\tmtime\tfragments\tnote\n'
        while IFS= read -r path; do
            local frags=-
            [ -n "$tsk" ] && frags=$(pieces "$(clusters "$img" "${inodes[$path]}")")
            # A deleted file whose record now belongs to another file has
            # left nothing to find.
            if [ -n "$tsk" ] && [ "${statuses[$path]}" = deleted ] &&
                ! istat "$img" "${inodes[$path]}" | grep -F "Name: ${path##*/}" >/dev/null; then
                frags=-
                notes[$path]="overwritten: its clusters and also its MFT record ${inodes[$path]} were reused, so the deleted entry itself is gone"
            fi
            printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$path" "${sizes[$path]}" "${sums[$path]}" "${statuses[$path]}" \
                "${times[$path]}" "$frags" "${notes[$path]}"
        done < <(printf '%s\n' "${!sums[@]}" | LC_ALL=C sort)
        for path in "${folders[@]}"; do printf '%s\t-\t-\texisting\t-\t-\tdirectory\n' "$path"; done
    } >"$out"
}

make_attrlist() {
    name=ntfs_attrlist
    img="$work/$name.img"
    truncate -s 12M "$img"
    mkntfs -F -Q -q -c 4096 -L STYKKER "$img"
    ntfs-3g "$img" "$mnt"
    folder stykker
    folder slettet
    for i in $(seq -w 0 599); do text "g$i" 4096 >"$mnt/stykker/g_$i.bin"; done
    text D 16384 >"$mnt/slettet/delvist overskrevet.txt"
    text I 12000 >"$mnt/slettet/intakt.txt"
    text F 9000 >"$mnt/slettet/først genbrugt.txt"
    # Take every free cluster, so that later files can only use what is freed.
    text fyld 100000000 >"$mnt/fyld.bin" 2>/dev/null || true
    remember fyld.bin existing "filler that takes every free cluster"
    for i in $(seq -w 0 599); do remember "stykker/g_$i.bin" existing "one-cluster piece"; done
    for f in "slettet/delvist overskrevet.txt" "slettet/intakt.txt" "slettet/først genbrugt.txt"; do
        remember "$f" deleted ""
    done
    unmount

    # Free the pieces on even clusters: every free cluster then lies alone
    # between two clusters in use.
    even=()
    for i in $(seq -w 0 599); do
        c=$(clusters "$img" "${inodes[stykker/g_$i.bin]}" | tr -d ' ')
        if [ $((c % 2)) -eq 0 ]; then even+=("$i"); fi
    done
    ntfs-3g "$img" "$mnt"
    for i in "${even[@]}"; do
        rm "$mnt/stykker/g_$i.bin"
        statuses[stykker/g_$i.bin]=deleted
        notes[stykker/g_$i.bin]="overwritten: freed, then its cluster was reused"
    done
    # A little room is left for the file's extension records and list; what
    # remains free afterwards is taken by a second filler.
    count=$(( ${#even[@]} - 4 ))
    text M $((count * 4096)) >"$mnt/mange stykker.bin"
    remember "mange stykker.bin" existing "one run per cluster; the run list lies in extension records behind an \$ATTRIBUTE_LIST"
    text fyld2 100000000 >"$mnt/fyld 2.bin" 2>/dev/null || true
    remember "fyld 2.bin" existing "filler that takes the clusters left free"

    # First cluster reused: freed, then a new file takes all its clusters.
    rm "$mnt/slettet/først genbrugt.txt"
    text N 12288 >"$mnt/slettet/ny.txt"
    remember "slettet/ny.txt" existing "took the clusters of først genbrugt.txt"
    notes[slettet/først genbrugt.txt]="overwritten: its clusters were reused by ny.txt"
    # A later cluster reused: freed, a 2-cluster file takes the first half and a
    # second one the rest; then the first is deleted again.
    rm "$mnt/slettet/delvist overskrevet.txt"
    text P 8192 >"$mnt/slettet/p.txt"
    text T 8192 >"$mnt/slettet/t.txt"
    remember "slettet/p.txt" deleted "took the first half of delvist overskrevet.txt, then deleted"
    remember "slettet/t.txt" existing "took the second half of delvist overskrevet.txt"
    rm "$mnt/slettet/p.txt"
    notes[slettet/delvist overskrevet.txt]="overwritten in part: its first clusters are free again, its last ones belong to t.txt"
    rm "$mnt/slettet/intakt.txt"
    notes[slettet/intakt.txt]="deleted last; content intact"
    unmount

    # Check that the allocator did what the notes say.
    cl() { clusters "$img" "${inodes[$1]}"; }
    d=$(cl "slettet/delvist overskrevet.txt"); p=$(cl slettet/p.txt); t=$(cl slettet/t.txt)
    [ "$(echo $d)" = "$(echo $p $t)" ] || { echo "unexpected placement: D=$d P=$p T=$t" >&2; exit 1; }
    f=$(cl "slettet/først genbrugt.txt"); n=$(cl slettet/ny.txt)
    [ "$(echo $f)" = "$(echo $n)" ] || { echo "unexpected placement: F=$f N=$n" >&2; exit 1; }
    istat "$img" "${inodes[mange stykker.bin]}" | grep -q 'ATTRIBUTE_LIST' || { echo "no attribute list" >&2; exit 1; }

    out="$root/Tests/Fixtures/$name"
    mkdir -p "$out"
    manifest "$img" "$out/$name.manifest.tsv" tsk
    {
        echo "## fsstat $name.img"; fsstat "$img"
        echo; echo "## fls -r -p -l $name.img"; fls -r -p -l "$img"
        echo; echo "## istat $name.img (mange stykker.bin)"; istat "$img" "$(ifind -n "mange stykker.bin" "$img")"
    } >"$out/$name.tsk.txt"
    zstd -q -19 -f "$img" -o "$out/$name.img.zst"
}

make_bigcluster() {
    name=ntfs_bigcluster
    img="$work/$name.img"
    truncate -s 32M "$img"
    mkntfs -F -Q -q -s 512 -c 131072 -L STORE "$img"
    ntfs-3g "$img" "$mnt"
    folder mappe
    text R 200 >"$mnt/lille.txt"
    text S 300000 >"$mnt/mappe/stor.txt"
    text X 140000 >"$mnt/slettet.txt"
    remember lille.txt existing "resident"
    remember mappe/stor.txt existing "three 128 KiB clusters"
    remember slettet.txt deleted "deleted last; content intact"
    rm "$mnt/slettet.txt"
    unmount
    out="$root/Tests/Fixtures/$name"
    mkdir -p "$out"
    # The Sleuth Kit cannot open volumes with clusters above 64 KiB; ntfsinfo can.
    manifest "$img" "$out/$name.manifest.tsv"
    { echo "## ntfsinfo -m $name.img"; ntfsinfo -m "$img"; } >"$out/$name.ntfsinfo.txt"
    zstd -q -19 -f "$img" -o "$out/$name.img.zst"
}

make_fresh() {
    name=ntfs_fresh
    img="$work/$name.img"
    truncate -s 2M "$img"
    mkntfs -F -Q -q -s 512 -c 4096 -L NY "$img" 2>/dev/null
    out="$root/Tests/Fixtures/$name"
    mkdir -p "$out"
    # An empty manifest: the volume holds no file of a user's.
    printf 'path\tsize\tsha256\tstatus\tmtime\tfragments\tnote\n' >"$out/$name.manifest.tsv"
    { echo "## fls -r -p $name.img"; fls -r -p "$img"; } >"$out/$name.tsk.txt"
    zstd -q -19 -f "$img" -o "$out/$name.img.zst"
}

for fixture in "${@:-attrlist bigcluster fresh}"; do
    for f in $fixture; do
        unset sums sizes times notes statuses inodes
        declare -A sums sizes times notes statuses inodes
        folders=()
        "make_$f"
        echo "made Tests/Fixtures/ntfs_$f"
    done
done
