#!/usr/bin/env bash
# Makes the carving fixture: real files of every carvable family (and a few
# of other types), made by real tools where a free one exists, laid into one
# raw image at aligned and unaligned offsets between fillers, with files whose
# tails were overwritten and one cut off by the end of the image.
# Its tools: bash scripts/setup.sh --fixtures
#
#   Tests/Fixtures/carver/make.sh        (writes carver.img.zst and carver.manifest.tsv here)
#
# Needs: imagemagick, libimage-exiftool-perl, ffmpeg, sox, zip, 7zip, sqlite3,
# libreoffice (writer, calc, impress), qpdf, unar, libgsf-bin, libheif-examples,
# libavif-bin, webp, python3, zstd.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
export PATH=/usr/bin:/bin:$PATH TZ=UTC SOURCE_DATE_EPOCH=1600000000
work=$(mktemp -d /tmp/carver-fixture.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir files src
F=$work/files
ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }

# --- pictures ---------------------------------------------------------------
convert -seed 7 -size 160x120 plasma:fractal -quality 80 -strip src/plasma.jpg
exiftool -q -DateTimeOriginal="2019:07:21 16:42:05" -o $F/photo_exif.jpg src/plasma.jpg
exiftool -q -ExifByteOrder=MM -DateTimeOriginal="2020:02:29 23:59:58" -o $F/photo_exif_be.jpg src/plasma.jpg
exiftool -q -ExifByteOrder=II -ModifyDate="2018:01:02 03:04:05" -o $F/modify_date.jpg src/plasma.jpg
convert -seed 3 -size 200x150 plasma:red-blue -interlace JPEG -quality 70 -strip $F/progressive.jpg
convert -seed 5 -size 96x64 gradient:navy-gold -colors 16 -strip $F/palette.png
convert -seed 5 -size 120x80 plasma:green-white -strip $F/photo.png
convert -delay 20 -size 48x48 xc:red xc:green xc:blue -loop 0 $F/anim.gif
convert -size 40x30 gradient:white-black -colors 8 gif87:$F/still87.gif
convert -size 64x48 gradient:orange-purple BMP3:$F/picture.bmp
convert -size 50x40 gradient:teal-pink BMP:$F/v5.bmp
convert -size 30x20 xc:khaki BMP2:$F/os2.bmp
convert -size 700x560 xc:steelblue -compress none BMP3:$F/large.bmp      # over 1 MiB
convert -seed 9 -size 128x96 plasma:fractal -compress lzw src/plain.tif
cp src/plain.tif $F/scan.tif
convert -seed 9 -size 128x96 plasma:fractal -endian MSB -compress none $F/scan_be.tif
convert -seed 9 -size 128x128 plasma:fractal -define tiff:tile-geometry=32x32 -compress zip $F/tiled.tif
convert -size 640x600 xc:seagreen -compress none $F/large.tif             # over 1 MiB
convert -seed 4 -size 64x48 plasma:fractal -depth 16 -compress none src/raw16.tif
# exiftool writes the camera tags; it refuses raw extensions for the output name.
tagged() { local out=$1 from=$2; shift 2; exiftool -q "$@" -o src/tagged.tif "$from"; mv src/tagged.tif "$out"; }
tagged $F/camera.dng src/raw16.tif -DNGVersion=1.4.0.0 -DNGBackwardVersion=1.1.0.0
tagged $F/nikon.nef src/raw16.tif -Make="NIKON CORPORATION" -Model="D750"
tagged $F/sony.arw src/raw16.tif -Make="SONY" -Model="ILCE-7M3"
tagged $F/pentax.pef src/raw16.tif -Make="PENTAX" -Model="K-1"
tagged $F/samsung.srw src/raw16.tif -Make="SAMSUNG" -Model="NX1"
tagged $F/olympus.orf src/raw16.tif -Make="OLYMPUS IMAGING CORP." -Model="E-M5"
tagged $F/canon_make.cr2 src/raw16.tif -Make="Canon" -Model="EOS 5D"
convert -seed 4 -size 64x48 plasma:fractal -depth 16 -endian MSB -compress none src/raw16be.tif
tagged $F/nikon_be.nef src/raw16be.tif -Make="NIKON CORPORATION"
# Raw kinds told apart by their header alone have no free writer: the same
# TIFF structure under their header bytes.
python3 "$here/handmade.py" retag src/raw16.tif 0x52 $F/olympus_iiro.orf
python3 "$here/handmade.py" retag src/raw16.tif 0x55 $F/panasonic.rw2
python3 "$here/handmade.py" cr2 src/plasma.jpg $F/canon.cr2
python3 "$here/handmade.py" raf src/plasma.jpg $F/fuji.raf

# --- audio and video --------------------------------------------------------
sox -n -r 8000 -c 1 -b 16 $F/tone.wav synth 0.5 sine 440
sox -n -r 8000 -c 1 -b 8 -e unsigned-integer src/odd.wav synth 0.10025 sine 300
cp src/odd.wav $F/odd.wav
sox -n -r 8000 -c 1 -b 16 $F/silence.wav trim 0 80          # over 1 MiB
sox -n -r 8000 -c 2 -b 16 $F/chord.aiff synth 0.4 sine 261.6 sine 329.6
sox -n -r 8000 -c 1 -b 16 -t aifc $F/chord.aifc synth 0.3 sine 392
ff -f lavfi -i testsrc=size=96x64:rate=10:duration=1 -f lavfi -i sine=f=440:d=1 \
   -c:v mpeg4 -q:v 10 -c:a libmp3lame -b:a 32k $F/clip.avi
cwebp -quiet -q 60 src/plain.tif -o $F/image.webp 2>/dev/null || convert src/plain.tif -quality 60 $F/image.webp
ff -f lavfi -i testsrc=size=96x64:rate=10:duration=1 -f lavfi -i sine=f=330:d=1 \
   -c:v libx264 -preset ultrafast -crf 40 -c:a libvorbis -q:a 0 $F/clip.mkv
ff -f lavfi -i testsrc=size=96x64:rate=10:duration=1 -f lavfi -i sine=f=550:d=1 \
   -c:v libvpx -b:v 50k -c:a libvorbis -q:a 0 $F/clip.webm
ff -f lavfi -i sine=f=440:d=1 -c:a libvorbis -q:a 0 $F/song.ogg
ff -f lavfi -i sine=f=660:d=1 -c:a libopus -b:a 16k $F/voice.opus
ff -f lavfi -i testsrc=size=96x64:rate=10:duration=1 -c:v libtheora -q:v 1 $F/clip.ogv
ff -f lavfi -i sine=f=440:d=1 -c:a libmp3lame -b:a 32k -id3v2_version 3 -metadata title=Tone $F/song.mp3
ff -f lavfi -i sine=f=880:d=1 -c:a libmp3lame -b:a 48k -id3v2_version 4 -write_id3v1 1 \
   -metadata title=Tone -metadata artist=Sovanta $F/song_v1.mp3
ct=2021-05-06T07:08:09Z
ff -f lavfi -i testsrc=size=96x64:rate=10:duration=1 -f lavfi -i sine=f=440:d=1 \
   -c:v libx264 -preset ultrafast -crf 40 -c:a aac -b:a 24k -metadata creation_time=$ct $F/clip.mp4
ff -f lavfi -i testsrc=size=96x64:rate=10:duration=1 -c:v libx264 -preset ultrafast -crf 40 \
   -movflags +faststart -metadata creation_time=$ct $F/fast.mp4
ff -f lavfi -i testsrc=size=96x64:rate=10:duration=1 -c:v libx264 -preset ultrafast -crf 40 \
   -metadata creation_time=2022-11-12T13:14:15Z $F/clip.mov
ff -f lavfi -i sine=f=440:d=1 -c:a aac -b:a 24k -f ipod -metadata creation_time=$ct $F/song.m4a
ff -f lavfi -i testsrc=size=96x64:rate=10:duration=1 -c:v libx264 -preset ultrafast -crf 40 \
   -brand "M4V " -metadata creation_time=$ct $F/clip.m4v
ff -f lavfi -i testsrc=size=176x144:rate=10:duration=1 -f lavfi -i sine=f=440:d=1 \
   -c:v libx264 -preset ultrafast -crf 40 -c:a aac -b:a 24k -f 3gp -metadata creation_time=$ct $F/clip.3gp
heif-enc -q 40 -o $F/image.heic src/plasma.jpg >/dev/null
avifenc --min 30 --max 40 -s 8 src/plasma.jpg $F/image.avif >/dev/null
python3 "$here/handmade.py" cr3 src/plasma.jpg $F/canon.cr3

# --- archives and documents -------------------------------------------------
mkdir -p src/bundle/docs
printf 'Sovanta test bundle\n' > src/bundle/readme.txt
seq 1 2000 > src/bundle/docs/numbers.txt
cp src/plasma.jpg src/bundle/docs/
(cd src/bundle && zip -qX -r $F/bundle.zip . && 7zz a -bd -bso0 $F/bundle.7z . >/dev/null)
(cd src/bundle && cat docs/numbers.txt | zip -qX -fz- $F/stream.zip -)   # sizes in data descriptors
(cd src/bundle && zip -qX -fz $F/zip64.zip readme.txt docs/numbers.txt)
head -c 1500000 /dev/zero > src/zeros.bin
(cd src && zip -qX -0 $F/stored.zip zeros.bin)                              # over 1 MiB
mkdir -p src/jar/META-INF src/jar/org/sovanta
printf 'Manifest-Version: 1.0\nMain-Class: org.sovanta.Main\n' > src/jar/META-INF/MANIFEST.MF
printf '\xca\xfe\xba\xbe\x00\x00\x00\x34' > src/jar/org/sovanta/Main.class
(cd src/jar && zip -qX -r $F/app.jar META-INF org)
python3 "$here/handmade.py" rar4 src/bundle/docs/numbers.txt $F/bundle4.rar
python3 "$here/handmade.py" rar5 src/bundle/docs/numbers.txt $F/bundle5.rar
lsar -t $F/bundle4.rar >/dev/null && lsar -t $F/bundle5.rar >/dev/null

sqlite3 $F/inventory.sqlite "create table item(id integer primary key, name text, count integer);
  insert into item(name, count) values ('hammer', 3), ('saw', 1), ('nails', 500);"
sqlite3 $F/large_pages.sqlite "pragma page_size=65536; create table t(x); insert into t values ('sovanta');"

cat > src/letter.txt <<'TXT'
Kære kunde,

Tak for din henvendelse. Her er brevet, som Sovanta skal finde igen.
Med venlig hilsen
TXT
printf 'vare;antal;pris\nhammer;3;129.95\nsav;1;249.00\nsøm;500;0.10\n' > src/budget.csv
python3 "$here/handmade.py" fodp src/slides.fodp
soffice() { HOME=$work/home command soffice --headless --norestore "$@" >/dev/null 2>&1; }
(cd src && soffice --convert-to docx letter.txt && soffice --convert-to odt letter.txt &&
  soffice --convert-to doc letter.txt && soffice --convert-to rtf letter.txt &&
  soffice --convert-to pdf letter.txt && soffice --convert-to epub letter.txt)
(cd src && soffice --infilter=CSV:59,34,76 --convert-to xlsx budget.csv &&
  soffice --infilter=CSV:59,34,76 --convert-to ods budget.csv &&
  soffice --infilter=CSV:59,34,76 --convert-to xls budget.csv)
(cd src && soffice --convert-to pptx slides.fodp && soffice --convert-to odp slides.fodp &&
  soffice --convert-to ppt slides.fodp)
for f in letter.docx letter.odt letter.doc letter.rtf letter.epub budget.xlsx budget.ods budget.xls \
         slides.pptx slides.odp slides.ppt; do cp src/$f $F/; done
cp src/letter.pdf $F/letter.pdf
qpdf --linearize src/letter.pdf $F/linear.pdf
exiftool -q -Title="Opdateret" -o $F/updated.pdf src/letter.pdf      # an incremental update
mkdir -p src/msg src/big
printf 'Hej fra Sovanta' > src/msg/__substg1.0_0037001F
printf 'Brødtekst' > src/msg/__substg1.0_1000001F
printf '\x01\x00\x00\x00' > src/msg/__properties_version1.0
(cd src/msg && gsf createole $F/mail.msg __substg1.0_0037001F __substg1.0_1000001F __properties_version1.0)
head -c 7800000 /dev/zero > src/big/Workbook                               # more than 109 FAT sectors
(cd src/big && gsf createole $F/large.xls Workbook)

# --- other types, which are not to be reported as anything ----------------
sox -n -r 8000 -c 1 $F/sweep.flac synth 0.5 sine 200-800
convert -size 32x32 xc:gold $F/icon.ico
(cd src && tar --mtime=@1600000000 -cf - bundle | gzip -n > $F/bundle.tar.gz)

python3 "$here/layout.py" "$F" "$work/carver.img" "$here/carver.manifest.tsv"
zstd -q -19 -f "$work/carver.img" -o "$here/carver.img.zst"
ls -l "$here"
