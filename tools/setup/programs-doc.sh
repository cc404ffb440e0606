#!/bin/sh
# Writes docs/programs.md and its pictures from the built tools: the measured table of the
# built-in bank (quarnel-bank), one line per program from the comment above its record in
# patches/patch_bank.cpp, and a spectrogram per family of a short phrase of each program
# (quarnel-bank --phrases, drawn with sox).
# Usage: programs-doc.sh BUILD_DIR PLUGIN
set -e
build=$1
plugin=$2
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
pictures="$root/docs/programs"
mkdir -p "$pictures"

"$build/tools/quarnel-bank" --plugin "$plugin" --csv "$work/table.csv" > "$work/table.txt" || true
"$build/tools/quarnel-bank" --plugin "$plugin" --phrases "$work"

# A spectrogram per family: the phrases of its programs one after another.
for family in Lead Elephone Pad Keys Sequence Bell; do
    files=$(awk -F, -v f="$family" 'NR > 1 && index($2, f " ") == 1 {
        printf "%s/program-%02d.wav ", w, $1 }' w="$work" "$work/table.csv")
    # shellcheck disable=SC2086
    sox $files -n remix 1,2 rate 22050 spectrogram -x 1200 -y 193 -z 90 \
        -t "$family programs, one phrase each, in slot order" \
        -o "$pictures/$(echo "$family" | tr 'A-Z' 'a-z').png"
done

{
    cat <<'HEAD'
# The built-in programs

Quarnel has 46 built-in programs in six families. Six of them (slots 0, 2, 6, 15, 23 and 38)
are the fixed reference programs; the other forty are designed to the targets below, which
`quarnel-bank` checks (`make programs-doc` regenerates this page, the table and the pictures;
the test run checks the targets in a compact form).

HEAD
    echo "## What each program is for"
    echo
    awk '
        /^    \/\/ [0-9]+: / { sub(/^    \/\/ /, ""); text = $0; collecting = 1; next }
        collecting && /^    \/\/ / { sub(/^    \/\/ +/, ""); text = text " " $0; next }
        collecting && /program\("/ {
            name = $0; sub(/.*program\("/, "", name); sub(/".*/, "", name)
            slot = text; sub(/:.*/, "", slot); sub(/^[0-9]+: /, "", text)
            printf "- %s (%s): %s\n", name, slot, text
            collecting = 0
        }' "$root/patches/patch_bank.cpp"
    echo
    echo "## Measured"
    echo
    echo "Note 60 at velocity 100 held 2 s at 44.1 kHz unless said; see \`quarnel-bank --help\`."
    echo
    echo '```'
    cat "$work/table.txt"
    echo '```'
    echo
    echo "## Pictures"
    echo
    echo "Each picture is one family: an arpeggio C4 E4 G4 C5 and its chord per program (3.2 s"
    echo "each, in slot order), 0 to 11 kHz, 90 dB of range."
    echo
    for family in Lead Elephone Pad Keys Sequence Bell; do
        lower=$(echo "$family" | tr 'A-Z' 'a-z')
        echo "![${family} programs](programs/${lower}.png)"
        echo
    done
} > "$root/docs/programs.md"
echo "wrote docs/programs.md and docs/programs/*.png"
