#!/usr/bin/env bash
# Regenerates the two clips the emulator plays. Access-unit delimiters let the emulator split
# on AUD NALs; a one-second GOP lets a consumer start decoding quickly.
set -euo pipefail
cd "$(dirname "$0")"

ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc=size=320x240:rate=25:duration=4 \
    -pix_fmt yuv420p -c:v libx264 -profile:v baseline -preset veryfast -crf 30 -g 25 -bf 0 \
    -x264-params aud=1:keyint=25:min-keyint=25:scenecut=0 -f h264 clip.h264

ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc=size=320x240:rate=25:duration=4 \
    -pix_fmt yuv420p -c:v libx265 -preset veryfast -crf 32 -g 25 \
    -x265-params aud=1:keyint=25:min-keyint=25:scenecut=0:bframes=0:log-level=error -f hevc clip.h265
