#!/usr/bin/env bash
# Makes the fuzzers' seed corpora and dictionaries.
#   bench/fuzz-corpus.sh MEDIA_DIR OUT_DIR
# MEDIA_DIR holds the generated test media (tests/fixtures/make_fixtures);
# OUT_DIR gets corpus/<target>/ folders and <target>.dict files. Seeds are
# added, never removed, so what the fuzzers found before stays.
set -euo pipefail
cd "$(dirname "$0")/.."

MEDIA=${1:?usage: bench/fuzz-corpus.sh MEDIA_DIR OUT_DIR}
OUT=${2:?usage: bench/fuzz-corpus.sh MEDIA_DIR OUT_DIR}
# Media seeds are cut to this many bytes: enough for every container's
# header and first packets, small enough to keep each run fast.
MAX_SEED=65536

mkdir -p "$OUT/corpus"/{fuzz_option_text,fuzz_hook_ranges,fuzz_filter_checks,fuzz_probe,fuzz_media_input,fuzz_media_transcode,fuzz_segment_decode}

# Media: the head of every generated file (the broken ones included).
count=0
for file in "$MEDIA"/*; do
  [ -f "$file" ] || continue
  name=$(basename "$file")
  for target in fuzz_probe fuzz_media_input fuzz_media_transcode fuzz_segment_decode; do
    head -c "$MAX_SEED" "$file" > "$OUT/corpus/$target/seed-$name"
  done
  count=$((count + 1))
done
if [ "$count" -eq 0 ]; then
  echo "bench/fuzz-corpus.sh: no media in $MEDIA" >&2
  exit 1
fi

seed() { # target name text
  printf '%b' "$3" > "$OUT/corpus/$1/seed-$2"
}

seed fuzz_option_text codecs 'vcodec=mpeg4\nacodec=mp2\nb=200k\nab=64k\nar=22050\nac=1'
seed fuzz_option_text geometry 's=176x144\ncroptop=4\ncropleft=2\npadbottom=8\npadcolor=808080\naspect=16:9\nr=30000/1001'
seed fuzz_option_text timing 't=00:00:02.5\nss=1\nitsoffset=-0.5\nitsscale=1.5\ntimestamp=2024-06-11 12:00:00\nvframes=10'
seed fuzz_option_text maps 'map=0:0\nmap=0.1:0.1\nmap_meta_data=0:0\nprogramid=2'
seed fuzz_option_text encoder 'qscale=3\nrc_override=0,10,2/20,30,-50\nintra_matrix=8,16,19,22,26,27,29,34\npass=1\npasslogfile=x\ng=12\nbf=2'
seed fuzz_option_text target 'target=pal-dvd\r\nvbsf=h264_mp4toannexb\r\nabsf=aac_adtstoasc\r\nvtag=XVID\r\natag=0x55'
seed fuzz_option_text formats 'f=matroska\npix_fmt=yuv420p\nsample_fmt=s16\nvfilters=scale=320:240\nfs=100000\nthreads=2'
seed fuzz_hook_ranges ranges '0-1000, 2500-4000,10000-20000'
seed fuzz_hook_ranges odd ' 5000 - 100 ,-20-30,abc-3,,9223372036854775807-1,  7  -  8 '
seed fuzz_filter_checks scale '\x00\x00\x00scale=32:24,hflip'
seed fuzz_filter_checks crop '\x04\x00\x01crop=32:24:4:4,pad=64:48:8:8'
seed fuzz_filter_checks pad '\x00\x04\x00transpose=1,negate,drawbox=10:10:20:20:red'
seed fuzz_filter_checks misc '\x00\x00\x01null,format=gray,setsar=1,eq=contrast=1.5,fps=10,rotate=PI/6'

# Dictionaries: the engine's option names, and filter names.
{
  grep -oE '\("[a-z_0-9]+"' src/engine/Options.cpp | sed -E 's/^\(//' | sort -u
  printf '"="\n"\\x0a"\n"copy"\n"pal-dvd"\n"ntsc-vcd"\n"176x144"\n"16:9"\n'
} > "$OUT/fuzz_option_text.dict"
printf '"-"\n","\n"9223372036854775807"\n"-9223372036854775808"\n' > "$OUT/fuzz_hook_ranges.dict"
printf '"%s"\n' null scale crop pad transpose rotate hflip vflip format setsar setdar negate \
  boxblur drawbox eq hue lutyuv fps fade unsharp setpts swapuv edgedetect copy CROP Scale \
  "=" "," ":" "iw" "ih" "in_w" "out_h" > "$OUT/fuzz_filter_checks.dict"
echo "corpus: $count media files, seeds in $OUT/corpus"
