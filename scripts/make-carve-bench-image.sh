#!/usr/bin/env bash
# Makes the carving benchmark image: real files of ten carvable kinds (JPEG,
# PNG, GIF, BMP, TIFF, PDF, DOCX, ZIP, SQLite, WAV) and four the carver does
# not know (FLAC, gzip, xz, HTML), tens of KB to several MB each, laid back to
# back at 4 KiB boundaries between fillers (zeros and random bytes) into a
# 2 GiB raw image about 55 % full; one file in ten is split in two by a filler.
# Beside the image, a manifest: one line per placed file with its offset, its
# size, its kind, whether it is split, and its MD5.
# Tools: imagemagick, ghostscript, sox, sqlite3, zip, gzip, xz, python3.
#   scripts/make-carve-bench-image.sh [image]   (default /tmp/sovanta-bench/carve-2g.img)
#   SIZE (bytes, default 2 GiB) and FILL (percent, default 55) change the shape.
set -euo pipefail
img=${1:-/tmp/sovanta-bench/carve-2g.img}
size=${SIZE:-2147483648}
fill=${FILL:-55}
for tool in convert gs sox sqlite3 zip gzip xz python3; do
    command -v "$tool" >/dev/null || { echo "needs $tool" >&2; exit 1; }
done
mkdir -p "$(dirname "$img")"
work=$(mktemp -d /tmp/carve-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
P=$work/pool
mkdir -p "$P" "$work/src"
export TZ=UTC SOURCE_DATE_EPOCH=1600000000

# Each line of jobs.txt is one command making one pool file; they run four at a time.
jobs=$work/jobs.txt
: >"$jobs"
job() { printf '%s\n' "$*" >>"$jobs"; }
dims() {  # the n-th of a spread of picture sizes, from small to about 2200 pixels wide
    local n=$1 w
    w=$((160 + (n * n * 37) % 2000))
    echo "${w}x$((w * 3 / 4))"
}
for n in $(seq 1 40); do job convert -seed "$n" -size "$(dims "$n")" plasma:fractal -quality $((70 + n % 26)) "$P/photo$n.jpg"; done
for n in $(seq 1 24); do job convert -seed "$n" -size "$(dims $((n * 3)))" plasma:fractal -resize 60% "$P/picture$n.png"; done
for n in $(seq 1 16); do job convert -seed "$n" -size "$(dims $((n * 5)))" plasma:fractal -colors 64 "$P/anim$n.gif"; done
for n in $(seq 1 16); do job convert -seed "$n" -size "$(dims $((n * 7)))" gradient:navy-gold -resize 50% "BMP3:$P/scan$n.bmp"; done
for n in $(seq 1 16); do job convert -seed "$n" -size "$(dims $((n * 11)))" plasma:fractal -resize 50% -compress lzw "$P/page$n.tif"; done
for n in $(seq 1 12); do
    job sox -n -r $((8000 * (1 + n % 4))) -c $((1 + n % 2)) -b 16 "$P/voice$n.wav" synth $((1 + n % 7)).$((n % 10)) sine $((200 + 40 * n))
    job sox -n -r 22050 -c 1 "$P/music$n.flac" synth $((2 + n % 5)) pluck $((300 + 20 * n))
done
xargs -P 4 -L 1 -a "$jobs" -- sh -c '"$0" "$@"'

# Documents and archives from the pictures and texts made above.
for n in $(seq 1 16); do
    gs -q -dNOPAUSE -dBATCH -sDEVICE=pdfwrite -o "$P/report$n.pdf" \
       "$(ls /usr/share/ghostscript/*/lib/viewjpeg.ps | head -1)" -c "($P/photo$((n * 2)).jpg) viewJPEG" 2>/dev/null
done
text() {  # n paragraphs of text, different for each seed
    python3 -c "
import random, sys
r = random.Random($1)
words = 'data disk fil mappe gendan sektor billede dokument arkiv lyd kopi rapport'.split()
for _ in range($2):
    print(' '.join(r.choice(words) for _ in range(60)))
    print()"
}
for n in $(seq 1 16); do
    d=$work/src/docx$n
    mkdir -p "$d/_rels" "$d/word/media" "$d/docProps"
    printf '<?xml version="1.0" encoding="UTF-8"?><Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types"><Default Extension="xml" ContentType="application/xml"/><Default Extension="jpg" ContentType="image/jpeg"/><Override PartName="/word/document.xml" ContentType="application/vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml"/></Types>' >"$d/[Content_Types].xml"
    printf '<?xml version="1.0" encoding="UTF-8"?><Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships"><Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument" Target="word/document.xml"/></Relationships>' >"$d/_rels/.rels"
    { printf '<?xml version="1.0" encoding="UTF-8"?><w:document xmlns:w="http://schemas.openxmlformats.org/wordprocessingml/2006/main"><w:body>'
      text "$n" $((20 * n)) | sed 's|.*|<w:p><w:r><w:t>&</w:t></w:r></w:p>|'
      printf '</w:body></w:document>'; } >"$d/word/document.xml"
    cp "$P/photo$((n + 10)).jpg" "$d/word/media/image1.jpg"
    (cd "$d" && zip -qX -r "$P/letter$n.docx" '[Content_Types].xml' _rels word)
done
for n in $(seq 1 16); do
    d=$work/src/zip$n
    mkdir -p "$d"
    text $((n + 100)) $((30 * n)) >"$d/notes.txt"
    cp "$P/picture$n.png" "$P/photo$((n + 20)).jpg" "$d/"
    (cd "$d" && zip -qX -r "$P/bundle$n.zip" .)
    text $((n + 200)) $((40 * n)) | gzip -9n >"$P/notes$n.txt.gz"
    text $((n + 300)) $((40 * n)) | xz -6 >"$P/notes$n.txt.xz"
    { printf '<!DOCTYPE html>\n<html><head><title>Side %d</title></head><body>\n' "$n"
      text $((n + 400)) $((25 * n)) | sed 's|.*|<p>&</p>|'
      printf '</body></html>\n'; } >"$P/page$n.html"
done
for n in $(seq 1 12); do
    sqlite3 "$P/store$n.sqlite" "create table item(id integer primary key, name text, payload blob);
      with recursive c(i) as (select 1 union all select i + 1 from c where i < $((n * n * 40)))
      insert into item(name, payload) select 'vare ' || i, randomblob(200 + i % 900) from c;"
done

python3 - "$P" "$img" "$size" "$fill" <<'PY'
import hashlib, os, random, sys
pool, image, size, fill = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
kinds = {"jpg": "jpg", "png": "png", "gif": "gif", "bmp": "bmp", "tif": "tif", "pdf": "pdf", "docx": "docx",
         "zip": "zip", "sqlite": "sqlite", "wav": "wav", "flac": "flac", "gz": "gz", "xz": "xz", "html": "html"}
files = {}
for name in sorted(os.listdir(pool)):
    data = open(os.path.join(pool, name), "rb").read()
    files.setdefault(name.rsplit(".", 1)[1], []).append(data)
r = random.Random(27)
cluster = 4096
start = 1 << 20
budget = (size - start) * fill // 100
# Files of every kind, picked evenly by kind and then by file (the smaller
# more often, as on a real disk), until the budget is used.
placed, used = [], 0
order = sorted(files)
while True:
    kind = order[len(placed) % len(order)]
    data = r.choices(files[kind], weights=[len(d) ** -0.8 for d in files[kind]])[0]
    if used + len(data) > budget:
        break
    placed.append((kind, data))
    used += len(data)
r.shuffle(placed)
# The free space is shared out as gaps before the files: zeros mostly, some random bytes.
free = size - start - sum((len(d) + cluster - 1) // cluster * cluster for _, d in placed) - 64 * cluster * len(placed) // 10
weights = [r.random() for _ in placed]
scale = free / sum(weights)
out = open(image, "wb")
manifest = open(image.rsplit(".", 1)[0] + ".manifest.tsv", "w")
manifest.write("offset\tsize\tkind\tsplit\tmd5\n")
zero = bytes(1 << 20)
def pad_to(pos, target, random_part):
    n = target - pos
    rnd = min(n, random_part)
    out.write(r.randbytes(rnd))
    n -= rnd
    while n > 0:
        k = min(n, len(zero))
        out.write(zero[:k])
        n -= k
pos = 0
pad_to(0, start, 0)
pos = start
for (kind, data), w in zip(placed, weights):
    gap = int(w * scale) // cluster * cluster
    pad_to(pos, pos + gap, r.choice([0, 0, 0, cluster, 4 * cluster, 16 * cluster]) if gap else 0)
    pos += gap
    offset = pos
    split = len(data) > 2 * cluster and r.random() < 0.1
    if split:
        cut = r.randrange(1, (len(data) - 1) // cluster + 1) * cluster
        out.write(data[:cut])
        pos += cut
        hole = r.choice([1, 4, 16, 64]) * cluster
        out.write(r.randbytes(hole))
        pos += hole
        out.write(data[cut:])
        pos += len(data) - cut
    else:
        out.write(data)
        pos += len(data)
    end = (pos + cluster - 1) // cluster * cluster
    pad_to(pos, end, 0)
    pos = end
    manifest.write(f"{offset}\t{len(data)}\t{kinds[kind]}\t{int(split)}\t{hashlib.md5(data).hexdigest()}\n")
if pos > size:
    sys.exit(f"the files need {pos} bytes, more than {size}")
pad_to(pos, size, 0)
out.close()
print(f"{image}: {len(placed)} files, {used} bytes ({100 * used // size} %)", file=sys.stderr)
PY
echo "$img"
