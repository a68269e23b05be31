#!/bin/sh
# Draws the program's pictures with ImageMagick: a signed sheet of paper with a
# red seal. Each picture is drawn at ten times its size and scaled down, which
# smooths its edges. Run from this folder; the PNG files are kept in the
# source tree, so building does not need ImageMagick.
set -e

# The full picture, on a 470 x 510 canvas.
sheet() {
    convert -size 470x510 xc:none \
        -fill '#fdfdf8' -stroke '#6b7280' -strokewidth 14 \
        -draw "polygon 40,20 290,20 370,100 370,480 40,480" \
        -fill '#d9dde3' -draw "polygon 290,20 290,100 370,100" \
        -stroke '#3b4a63' -strokewidth 16 -fill none \
        -draw "line 95,150 300,150" -draw "line 95,205 315,205" \
        -draw "line 95,260 315,260" -draw "line 95,315 230,315" \
        -stroke '#1f5fbf' -strokewidth 14 \
        -draw "path 'M 85,410 C 115,350 135,440 160,395 S 205,360 225,415'" \
        -stroke '#7a1010' -strokewidth 10 -fill '#c62828' \
        -draw "polygon 300,420 275,505 325,480 350,505 345,420" \
        -draw "polygon 360,420 365,505 390,480 430,505 395,420" \
        -draw "circle 352,385 352,300" \
        -stroke '#f2b8b8' -strokewidth 9 -fill none -draw "circle 352,385 352,330" \
        "$1"
}

# A plainer picture for the smallest icon, on a 160 x 160 canvas.
small() {
    convert -size 160x160 xc:none \
        -fill '#fdfdf8' -stroke '#4b5563' -strokewidth 12 \
        -draw "polygon 14,6 92,6 122,36 122,154 14,154" \
        -stroke '#3b4a63' -strokewidth 12 -fill none \
        -draw "line 36,52 96,52" -draw "line 36,80 100,80" \
        -stroke '#7a1010' -strokewidth 8 -fill '#c62828' \
        -draw "circle 112,118 112,78" \
        "$1"
}

sheet /tmp/quilvane-sheet.png
convert /tmp/quilvane-sheet.png -filter Lanczos -resize 47x51! -depth 8 -strip icon-47x51.png
convert /tmp/quilvane-sheet.png -filter Lanczos -resize 39x43! -depth 8 -strip about.png
small /tmp/quilvane-small.png
convert /tmp/quilvane-small.png -filter Lanczos -resize 16x16! -depth 8 -strip icon-16x16.png
rm -f /tmp/quilvane-sheet.png /tmp/quilvane-small.png
