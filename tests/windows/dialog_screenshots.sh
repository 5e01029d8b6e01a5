#!/usr/bin/env bash
# Screenshots of Velkart.exe's main dialog and about box under wine and
# Xvfb, compared with the golden images beside this script.
#   dialog_screenshots.sh BIN_DIR OUT_DIR [--update]
# The wine prefix ($WINEPREFIX) must hold the Chinese font settings
# (dialog-prefix.reg) and wine's own fonts.
#
# The comparison looks at two things a change of font hinting leaves alone:
#  - the frames: straight dark runs of 40 px across or 20 px down (control
#    borders, group boxes, the log's grid; glyph strokes are shorter). At
#    most 40 of their pixels may differ: a control moved by one pixel moves
#    about twice that.
#  - the ink: both averaged over 8 x 8 blocks, no block may differ by more
#    than 25% (a missing glyph, a text box drawn empty).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bin=$(realpath "$1") out=$(realpath -m "$2") update=${3:-}
mkdir -p "$out"

shoot() { # name, poke command
    local name=$1 poke=$2 status=0
    (cd "$bin" && xvfb-run -a -s "-screen 0 1024x768x24" bash -c "
        wine Velkart.exe & dialog=\$!
        if timeout 90 wine dialog_poke.exe $poke; then
            import -window root '$out/$name.png'
        else
            echo 'the dialog did not show' >&2; status=1
        fi
        wineserver -k; wait \$dialog 2>/dev/null || true
        exit \${status:-0}") || status=$?
    return $status
}

frames() { # picture, frames out
    convert "$1" -colorspace gray -threshold 60% -negate \
        \( -clone 0 -morphology Open Rectangle:40x1 \) \( -clone 0 -morphology Open Rectangle:1x20 \) \
        -delete 0 -compose lighten -composite "$2"
}
count() { # what compare says: its first number
    local n
    n=$(compare -metric AE "$@" null: 2>&1 || true)
    n=${n%% *}
    echo "${n%.*}"
}
differs() { # golden, shot; prints what differs, fails beyond the tolerance
    frames "$1" "$out/a-frames.png"
    frames "$2" "$out/b-frames.png"
    convert "$1" -scale 12.5% "$out/a-ink.png"
    convert "$2" -scale 12.5% "$out/b-ink.png"
    local lines blocks
    lines=$(count "$out/a-frames.png" "$out/b-frames.png")
    blocks=$(count -fuzz 25% "$out/a-ink.png" "$out/b-ink.png")
    echo "$(basename "$2"): $lines frame pixels (at most 40), $blocks ink blocks (none) differ"
    [ "$lines" -le 40 ] && [ "$blocks" -eq 0 ]
}

# The comparison itself must refuse a moved control: the golden with the
# exit button's picture moved 1 px right.
moved_control_refused() {
    local golden=$here/golden/main.png moved=$out/main-moved.png
    convert "$golden" \( +clone -crop 116x26+604+495 +repage \) -geometry +605+495 -composite "$moved"
    if differs "$golden" "$moved" >/dev/null; then
        echo "the comparison passed a control moved by 1 px" >&2
        return 1
    fi
}

failures=0
for shot in main:wait about:about; do
    name=${shot%%:*}
    shoot "$name" "${shot#*:}" || { failures=$((failures + 1)); continue; }
    if [ "$update" = --update ]; then
        cp "$out/$name.png" "$here/golden/$name.png"
        echo "updated golden/$name.png"
    elif ! differs "$here/golden/$name.png" "$out/$name.png"; then
        echo "$name.png differs from its golden image (see $out)" >&2
        failures=$((failures + 1))
    fi
done
[ "$update" = --update ] || moved_control_refused || failures=$((failures + 1))
exit $((failures > 0))
