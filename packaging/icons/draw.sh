#!/bin/sh
# Renders the hicolor PNG icons from the drawings with rsvg-convert: the
# full one from 32 pixels up, plainer ones below. The PNGs are committed, so
# building and packaging need no SVG renderer. Run from this folder.
set -e
full=hicolor/scalable/apps/org.quilvane.Quilvane.svg
for size in 16 22 24 32 48 64 128 256; do
    source=$full
    [ "$size" -lt 32 ] && source=small.svg
    [ "$size" -eq 16 ] && source=small16.svg
    mkdir -p "hicolor/${size}x${size}/apps"
    rsvg-convert -w "$size" -h "$size" "$source" -o "hicolor/${size}x${size}/apps/org.quilvane.Quilvane.png"
done
