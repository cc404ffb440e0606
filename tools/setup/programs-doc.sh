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

"$build/tools/quarnel-bank" --plugin "$plugin" --csv "$work/table.csv" \
    --neighbours "$work/neighbours.txt" > "$work/table.txt" || true
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
    cat <<'TARGETS'
## Targets

For the forty designed programs (44.1 kHz; note 60 at velocity 100 held 2 s unless said):
integrated loudness (EBU R128) within +-3 LU of the median of the six reference programs; an
8-note chord (48 52 55 60 64 67 72 76) at velocity 127 peaking below 1.0; every velocity
sounding (a peak above -90 dBFS), peaks that never fall with rising velocity (1 dB of slack)
and a 20 dB fall time at any velocity no longer than 2.5 times the one at velocity 127; the family's character (Pads peak no sooner than 100 ms and hold
within 6 dB at 2 s; Leads peak within 30 ms and hold within 10 dB; Keys peak within 15 ms and
fall at least 6 dB from 0.1 s to 2 s; Bells peak within 15 ms, ring 1.5 s before falling 20 dB,
and at least five of the seven carry a partial off the harmonic series within 20 dB of the
strongest harmonic; Sequences fall 20 dB within 0.4 s; no Elephone a near-duplicate of a Lead);
no note of 36..96 more than 9 dB below its neighbours; four legato 4-note chords a second apart
dropping no note; releases without beating notches deeper than 6 dB or low thumps above
-30 dB, and without a low-frequency rise: the energy below 150 Hz over each 50 ms from note-off
on never more than 6 dB above the 50 ms before note-off (an eighth-order low-pass at 150 Hz;
energies more than 60 dB below the note's loudest 50 ms count as that floor); no
near-duplicates.

The velocity range itself is not a target: a voice's output is its envelope times velocity /
127, so velocity 1 lies 42.1 dB below 127 before any envelope acts, whatever the record; the
designed programs span about 42 to 53 dB from velocity 1 to 127.

## How far apart two programs are

Each program is reduced to a fingerprint of its single note (note 60 at velocity 100, held 2 s,
released, 3.5 s rendered). The harmonic spectrum: the power of harmonics 1..16 of the sounding
fundamental (260.95 Hz: the instrument plays whole-sample periods) over the held part, in dB
relative to the strongest and floored at -60 dB, so level does not count. The envelope: the
short-time RMS in dB relative to its highest point every 50 ms from note-on, floored at -60 dB.

Two programs are compared on each part apart: the spectral distance is the mean absolute dB
difference of their spectra, the envelope distance that of their envelopes. The bank sets a
scale for each: over the fifteen pairs of the six reference programs, programs made to sound
different, the smallest spectral distance is the spectral scale and the smallest envelope
distance the envelope scale (both below the table). A pair closer than half the spectral scale
in spectrum and closer than half the envelope scale in envelope is a near-duplicate; a pair
that differs clearly on either measure is not. A program's nearest neighbour is the one with
the smallest distance in units of the scales (the larger of the two distances, each divided by
its scale); the table names it with both distances, the list under the table gives the closest
pairs of the bank, and the next section says for each program where it and its nearest
neighbour differ most. Movement (vibrato, a brightness the LFO moves, the ensemble) sets some
programs apart as well, and neither measure sees it.

TARGETS
    echo "## Measured"
    echo
    echo "Note 60 at velocity 100 held 2 s at 44.1 kHz unless said; see \`quarnel-bank --help\`."
    echo
    echo '```'
    cat "$work/table.txt"
    echo '```'
    echo
    echo "## Each program against its nearest neighbour"
    echo
    echo "Where the two differ most: the harmonic whose levels (dB relative to the strongest) lie"
    echo "furthest apart, and the envelope point (dB relative to the highest) that does."
    echo
    sed 's/^/- /' "$work/neighbours.txt"
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
