#!/usr/bin/env bash
# Draws the launcher's own art with ImageMagick. The output is committed, so
# building never needs ImageMagick; run this only to change the pictures.
#   launcher/art:                  window strip backgrounds, close button, icon
#   demo/launcher_resources/art:   play, reconnect and flag pictures of the demo pages
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
demo="$here/../../demo/launcher_resources/art"
mkdir -p "$demo"
im() { local out=${*: -1}; convert "${@:1:$#-1}" -depth 8 -strip "PNG32:$out"; }

# Strip backgrounds: the first language's dark blue tiles, the others' dark green.
im -size 810x638 gradient:'#1c2b4a'-'#0b1222' -fill '#ffffff22' -draw 'rectangle 0,0 810,2' \
   -fill '#c8d6ff' -pointsize 14 -annotate +12+19 'Zelvan' "$here/background_0.png"
im -size 810x638 gradient:'#1d4a2c'-'#0b2212' -fill '#ffffff22' -draw 'rectangle 0,0 810,2' \
   -fill '#d0ffd6' -pointsize 14 -annotate +12+19 'Zelvan' "$here/background_1.png"

# Close button: normal, under the mouse, disabled (40 by 32).
close() {
    im -size 40x32 xc:none -fill "$1" -draw 'roundrectangle 6,4 34,28 5,5' \
       -stroke "$2" -strokewidth 3 -draw 'line 14,10 26,22' -draw 'line 26,10 14,22' "$3"
}
close '#7a1f1f' '#ffffff' "$here/close_normal.png"
close '#c0392b' '#ffffff' "$here/close_hover.png"
close '#4a4a4a' '#9a9a9a' "$here/close_disabled.png"

# Window icon.
im -size 64x64 xc:none -fill '#1c2b4a' -draw 'roundrectangle 2,2 62,62 12,12' \
   -fill '#f0c040' -pointsize 44 -gravity center -annotate +0+2 'Z' "$here/icon.png"

# Demo page buttons per language position, and flags per language id.
button() { # text colour out
    im -size 180x56 xc:none -fill "$2" -draw 'roundrectangle 1,1 178,54 12,12' \
       -fill white -pointsize 22 -gravity center -annotate +0+0 "$1" "$3"
}
button 'PLAY' '#2e9e4f' "$demo/play_0_enabled.png"
button 'PLAY' '#5a5a5a' "$demo/play_0_disabled.png"
button 'RECONNECT' '#b5651d' "$demo/reconnect_0_enabled.png"
button 'IGRAT' '#2e9e4f' "$demo/play_1_enabled.png"
button 'IGRAT' '#5a5a5a' "$demo/play_1_disabled.png"
button 'SNOVA' '#b5651d' "$demo/reconnect_1_enabled.png"
im -size 30x20 xc:'#012169' -fill white -draw 'rectangle 0,8 30,12' -draw 'rectangle 12,0 18,20' \
   -fill '#c8102e' -draw 'rectangle 0,9 30,11' -draw 'rectangle 13,0 17,20' "$demo/0.png"
im -size 30x20 xc:white -fill '#0039a6' -draw 'rectangle 0,7 30,13' \
   -fill '#d52b1e' -draw 'rectangle 0,14 30,20' "$demo/1.png"
