#!/bin/sh
# Measures the whole plug-in and writes docs/performance.md (run by make bench).
#
# Usage: speed-table.sh BENCH_BUILD WINDOWS_BUILD OUTPUT.md [BENCHMARK.json...]
#   BENCH_BUILD    a Release tree with the tools and the benchmarks (Quarnel.so, tools/, bench/)
#   WINDOWS_BUILD  the mingw-w64 tree (Quarnel.dll, bench/quarnel-time-plugin.exe), run under Wine
#   BENCHMARK.json Google Benchmark results (--benchmark_out) summed up in the page
#
# The whole-plug-in figures come from SPEED_ROUNDS interleaved rounds (default 5): each round
# renders every built-in program once, then Quarnel idle, amsynth and ZynAddSubFX once each, so
# that the machine's load falls on all of them alike; each figure is the median of its rounds,
# with the least and the most beside it. The piece is an 8-note chord (48 52 55 60 64 67 72 76,
# velocity 100) held for 10 s, at 44.1 kHz in 512-frame blocks, no tail. The peers are the
# Debian packages amsynth and zynaddsubfx-vst, at their first program. The page ends with the
# speed targets, each with its figure and whether it is met.
# The formats (VST3, CLAP, LV2 against the VST 2.4 .so) render the same chord, FORMAT_ROUNDS
# interleaved rounds (default 9), each format once a round; their figure is the median.
# The DLL under Wine is timed against the .so by quarnel-time-plugin, the least of SPEED_RUNS
# runs (default 5) of a 100 s piece for each of a few programs.
# The page is rewritten whole on every run; its prose lives here.
set -eu

build=$(cd "$1" && pwd)
windows=$(cd "$2" && pwd)
output=$3
shift 3

runs=${SPEED_RUNS:-5}
rounds=${SPEED_ROUNDS:-5}
format_rounds=${FORMAT_ROUNDS:-9}
render=$build/tools/quarnel-render
plugin=$build/Quarnel.so
timer=$build/bench/quarnel-time-plugin
windows_timer=$windows/bench/quarnel-time-plugin.exe
dll=$windows/Quarnel.dll
amsynth=/usr/lib/vst/amsynth_vst.so
zynaddsubfx=/usr/lib/vst/ZynAddSubFX.so
# The framework-built formats as the tree leaves them, in the order of the table.
format_names="vst2 vst3 clap lv2"
format_vst2=$plugin
format_vst3=$build/formats/Quarnel.vst3
format_clap=$build/formats/Quarnel.clap
format_lv2=$build/formats/Quarnel.lv2
# Programs timed through both binaries: the first of each family the demo piece uses.
dll_programs="0 15 23 38"
chord="48 52 55 60 64 67 72 76"
seconds=10
# The DLL comparison renders longer pieces: Wine's thread clock moves in 10 ms ticks.
dll_seconds=100
velocity=100

for file in "$render" "$plugin" "$timer" "$build/tools/quarnel-write-chord" "$windows_timer" \
    "$dll" "$amsynth" "$zynaddsubfx" "$format_clap"; do
    [ -f "$file" ] || { echo "speed-table: $file is missing" >&2; exit 1; }
done
for bundle in "$format_vst3" "$format_lv2"; do
    [ -d "$bundle" ] || { echo "speed-table: $bundle is missing" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/tools/quarnel-write-chord" "$work/chord.mid" $seconds $velocity $chord
"$build/tools/quarnel-write-chord" "$work/idle.mid" $seconds $velocity

# field NAME LINE: the value of NAME=... in a cpu-time line.
field() {
    printf '%s\n' "$2" | tr ' ' '\n' | sed -n "s/^$1=//p"
}

# render_once PLUGIN MIDI PROGRAM: renders once and prints "cpu_ms realtime peak_dBFS". Fails
# when the render fails.
render_once() {
    if ! "$render" "$2" --plugin "$1" -p "$3" -r 44100 -b 512 -t 0 -o "$work/out.wav" \
        --cpu-time >"$work/stdout" 2>"$work/stderr"; then
        echo "speed-table: rendering $2 through $1 (program $3) failed:" >&2
        cat "$work/stderr" >&2
        exit 1
    fi
    line=$(grep '^cpu-time: ' "$work/stdout") ||
        { echo "speed-table: no cpu-time line from $1" >&2; exit 1; }
    peak=$(sed -n 's/^Rendered .*: peak \([^ ]*\) dBFS.*/\1/p' "$work/stdout")
    printf '%s %s %s\n' "$(field cpu_ms "$line")" "$(field realtime "$line")" "$peak"
}

"$render" --list-programs --plugin "$plugin" | awk 'NF >= 2' >"$work/programs"
[ -s "$work/programs" ] || { echo "speed-table: the plug-in lists no programs" >&2; exit 1; }
# One line per render: what was rendered (a slot, idle, amsynth or zyn), the round, CPU ms and
# the peak level.
: >"$work/rounds"
for round in $(seq "$rounds"); do
    echo "speed-table: round $round of $rounds (every program, idle, amsynth, ZynAddSubFX)" >&2
    while read -r slot name; do
        result=$(render_once "$plugin" "$work/chord.mid" "$slot")
        printf '%s\t%s\t%s\t%s\n' "$slot" "$round" "${result%% *}" "${result##* }" \
            >>"$work/rounds"
    done <"$work/programs"
    for peer in idle amsynth zyn; do
        case $peer in
        idle) result=$(render_once "$plugin" "$work/idle.mid" 0) ;;
        amsynth) result=$(render_once "$amsynth" "$work/chord.mid" 0) ;;
        zyn) result=$(render_once "$zynaddsubfx" "$work/chord.mid" 0) ;;
        esac
        case $peer:$result in
        amsynth:*" -inf" | zyn:*" -inf")
            echo "speed-table: a peer rendered silence: $peer $result" >&2
            exit 1
            ;;
        esac
        printf '%s\t%s\t%s\t%s\n' "$peer" "$round" "${result%% *}" "${result##* }" \
            >>"$work/rounds"
    done
    echo "  program 0: $(awk -F '\t' -v r="$round" '$1 == "0" && $2 == r { print $3 }' \
        "$work/rounds") ms, amsynth: $(awk -F '\t' -v r="$round" \
        '$1 == "amsynth" && $2 == r { print $3 }' "$work/rounds") ms" >&2
done

# summary KEY: "median least most" of KEY's CPU ms over the rounds.
summary() {
    awk -F '\t' -v k="$1" '$1 == k { print $3 }' "$work/rounds" | sort -g |
        awk '{ ms[NR] = $1 }
            END {
                median = (NR % 2) ? ms[(NR + 1) / 2] : (ms[NR / 2] + ms[NR / 2 + 1]) / 2
                printf "%.3f %.3f %.3f\n", median, ms[1], ms[NR]
            }'
}
# One line per program: slot, name, median, least and most CPU ms, the last round's peak.
: >"$work/quarnel"
while read -r slot name; do
    peak=$(awk -F '\t' -v k="$slot" '$1 == k { p = $4 } END { print p }' "$work/rounds")
    printf '%s\t%s\t%s\t%s\n' "$slot" "$name" "$(summary "$slot" | tr ' ' '\t')" "$peak" \
        >>"$work/quarnel"
done <"$work/programs"
idle=$(summary idle)
peer_amsynth=$(summary amsynth)
peer_zyn=$(summary zyn)

echo "speed-table: every format against the .so ($format_rounds interleaved rounds)" >&2
# One line per render: the format, the round and its CPU ms.
: >"$work/formats"
for round in $(seq "$format_rounds"); do
    for name in $format_names; do
        eval "bundle=\$format_$name"
        if ! "$render" "$work/chord.mid" --plugin "$bundle" -p 0 -r 44100 -b 512 -t 0 \
            -o "$work/out.wav" --cpu-time >"$work/stdout" 2>"$work/stderr"; then
            echo "speed-table: rendering the chord through $bundle failed:" >&2
            cat "$work/stderr" >&2
            exit 1
        fi
        line=$(grep '^cpu-time: ' "$work/stdout") ||
            { echo "speed-table: no cpu-time line from $bundle" >&2; exit 1; }
        printf '%s\t%s\t%s\n' "$name" "$round" "$(field cpu_ms "$line")" >>"$work/formats"
    done
    echo "  round $round: $(awk -F '\t' -v r="$round" '$2 == r { printf "%s %s  ", $1, $3 }' \
        "$work/formats")" >&2
done

echo "speed-table: the DLL under Wine against the .so" >&2
export WINEPREFIX="$windows/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
export WINEARCH=win64
wineserver -p </dev/null >/dev/null 2>&1 || true
# A new prefix reports the 32-bit parts a 64-bit-only Wine lacks; it works all the same.
wine wineboot </dev/null >/dev/null 2>&1 || true
: >"$work/dll"
# timed NAME COMMAND...: runs a timing program and prints its cpu-time line; fails, showing what
# it printed, when there is none.
timed() {
    name=$1
    shift
    if ! "$@" </dev/null >"$work/timer.out" 2>"$work/timer.err" ||
        ! tr -d '\r' <"$work/timer.out" | grep '^cpu-time: '; then
        echo "speed-table: timing $name failed:" >&2
        cat "$work/timer.out" "$work/timer.err" >&2
        exit 1
    fi
}
for program in $dll_programs; do
    native=$(timed "the .so" "$timer" "$plugin" "$program" "$runs" $dll_seconds)
    under_wine=$(timed "the DLL" wine "$windows_timer" "$dll" "$program" "$runs" $dll_seconds)
    printf '%s\t%s\t%s\n' "$program" "$(field cpu_ms "$native")" "$(field cpu_ms "$under_wine")" \
        >>"$work/dll"
done
wineserver -k </dev/null >/dev/null 2>&1 || true
wine_version=$(wine --version 2>/dev/null || echo unknown)

# ---- the page --------------------------------------------------------------------------------
# compiler_of TREE: the version line of the C++ compiler CMake found for the tree.
compiler_of() {
    compiler=$(sed -n 's/^set(CMAKE_CXX_COMPILER "\(.*\)")$/\1/p' \
        "$1"/CMakeFiles/*/CMakeCXXCompiler.cmake | head -n 1)
    "$compiler" --version 2>/dev/null | head -n 1
}
cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
os=$(. /etc/os-release && echo "$PRETTY_NAME")
revision=$(git rev-parse --short HEAD 2>/dev/null || echo unknown)
if [ -n "$(git status --porcelain --untracked-files=no 2>/dev/null)" ]; then
    revision="$revision, with uncommitted changes"
fi
package_version() { dpkg-query -W -f='${Version}' "$1" 2>/dev/null || echo unknown; }

page=$work/page.md
{
    cat <<EOF
# Performance

Measured $(date -u '+%Y-%m-%d %H:%M UTC') at revision $revision. Regenerate this page with

    make bench

which installs what it needs, builds Release, runs the unit benchmarks and then the whole-plug-in
measurements below, and rewrites this file (tools/setup/speed-table.sh writes it; edit the prose
there).

## Machine

| | |
| --- | --- |
| CPU | $cpu |
| Cores | $(nproc) (shared with other work while measuring) |
| OS | $os, kernel $(uname -r) |
| Compiler (.so) | $(compiler_of "$build") |
| Compiler (.dll) | $(compiler_of "$windows") |
| Wine | $wine_version |
| Peers | amsynth $(package_version amsynth), zynaddsubfx-vst $(package_version zynaddsubfx-vst) |

## How it is measured

Each instrument plays one piece through the render tool, quarnel-render, as a host would: an
8-note chord (MIDI notes $chord at velocity $velocity) struck at the start and held for the
whole $seconds s, rendered at 44.1 kHz in 512-frame blocks with no tail. \`--cpu-time\` reads the
rendering thread's CPU clock (CLOCK_THREAD_CPUTIME_ID) before and after every processReplacing
call and sums the differences, so loading the plug-in, building its bank, reading MIDI and
writing the file are not counted; work a plug-in hands to threads of its own would not be
either. The clock's own cost, which every pair of readings adds (measured before each render
as the median of 1001 back-to-back pairs, about half a microsecond here), is taken off every
call. Every render runs in a fresh process. The measurements go in $rounds interleaved rounds,
each rendering every built-in program once and then Quarnel idle (program 0, no notes),
amsynth and ZynAddSubFX once each, so that whatever else the machine does falls on all of them
alike; every figure is the median of its $rounds rounds, with the least and the most of them
beside it (the spread). The realtime factor is audio seconds divided by CPU seconds: 100x means
one core renders 100 seconds of audio in a second. The peers are the Debian packages amsynth
and zynaddsubfx-vst, loaded by the same tool at their first program; "amsynth / Quarnel" is
amsynth's CPU time divided by Quarnel's, so 8x would mean Quarnel costs an eighth of amsynth.
Peak is the rendered piece's peak level, a check that every program made sound.

The whole-plug-in figures come from \`tools/setup/speed-table.sh\` (run by \`make bench\`); one
render is, for example,

    quarnel-render chord.mid --plugin Quarnel.so -p 0 -r 44100 -b 512 -t 0 -o out.wav --cpu-time

The Windows DLL is timed under Wine by quarnel-time-plugin.exe, a small host built by the
mingw-w64 tree that drives the DLL through its entry point with the same chord and block size;
its Linux build times the .so the same way. Both read the thread's CPU time (GetThreadTimes
under Wine) once around the whole run rather than around each call, because Wine's thread clock
advances in scheduler ticks (10 ms); each run is $dll_seconds s of audio, so that a tick is a few
per cent of it at most. Figures are CPU ms per $dll_seconds s, the least of $runs runs. The ratio
says what the Windows build costs under Wine relative to the Linux build on this machine; it is
not a figure for Windows itself.

EOF

    echo "## Speed targets"
    echo
    echo "Each target against its figure from this run (medians of the rounds above and below)."
    echo
    # The DLL's figure is the ratio over all the programs it was timed with.
    dll_ratio=$(awk -F '\t' '{ s += $2; d += $3 } END { printf "%.3f", d / s }' "$work/dll")
    sort -t "$(printf '\t')" -k3,3g "$work/quarnel" | awk -F '\t' -v idle="$idle" \
        -v amsynth="$peer_amsynth" -v dll="$dll_ratio" '
        { ms[NR] = $3; name[NR] = $2; if ($1 == 0) first = $3 }
        END {
            n = NR
            median = (n % 2) ? ms[(n + 1) / 2] : (ms[n / 2] + ms[n / 2 + 1]) / 2
            split(idle, i, " "); split(amsynth, a, " ")
            print "| Target | Figure | |"
            print "| --- | --- | --- |"
            printf "| Median of the %d programs at most a tenth of amsynth (%.1f ms) | %.1f ms, " \
                "1/%.2f of amsynth | %s |\n", n, a[1] / 10, median, a[1] / median,
                median <= a[1] / 10 ? "met" : "not met"
            printf "| Dearest program at most an eighth of amsynth (%.1f ms) | %s, %.1f ms, " \
                "1/%.2f of amsynth | %s |\n", a[1] / 8, name[n], ms[n], a[1] / ms[n],
                ms[n] <= a[1] / 8 ? "met" : "not met"
            printf "| Default program (0) at most an eighth of amsynth (%.1f ms) | %.1f ms, " \
                "1/%.2f of amsynth | %s |\n", a[1] / 8, first, a[1] / first,
                first <= a[1] / 8 ? "met" : "not met"
            printf "| The DLL under Wine within 1.10x the .so | %.2fx | %s |\n", dll,
                dll <= 1.10 ? "met" : "not met"
            printf "| Idle at most 2%% of the chord (program 0) | %.1f%% (%.2f ms) | %s |\n",
                100 * i[1] / first, i[1], i[1] <= 0.02 * first ? "met" : "not met"
        }' | tee "$work/targets"
    echo
    echo "## Quarnel against its peers"
    echo
    sort -t "$(printf '\t')" -k3,3g "$work/quarnel" | awk -F '\t' -v audio_ms=$((seconds * 1000)) \
        -v idle="$idle" -v amsynth="$peer_amsynth" -v zyn="$peer_zyn" '
        { ms[NR] = $3; lo[NR] = $4; hi[NR] = $5; name[NR] = $2; if ($1 == 0) first = $3 }
        END {
            n = NR
            median = (n % 2) ? ms[(n + 1) / 2] : (ms[n / 2] + ms[n / 2 + 1]) / 2
            split(idle, i, " "); split(amsynth, a, " "); split(zyn, z, " ")
            print "| | CPU ms (median) | Least | Most | Realtime | |"
            print "| --- | ---: | ---: | ---: | ---: | --- |"
            printf "| Quarnel, cheapest program (%s) | %.1f | %.1f | %.1f | %.0fx | |\n", name[1],
                ms[1], lo[1], hi[1], audio_ms / ms[1]
            printf "| Quarnel, median of the %d programs | %.1f | | | %.0fx | |\n", n, median,
                audio_ms / median
            printf "| Quarnel, dearest program (%s) | %.1f | %.1f | %.1f | %.0fx | |\n", name[n],
                ms[n], lo[n], hi[n], audio_ms / ms[n]
            ratios = "%.2fx the median program (%.2fx the cheapest, %.2fx the dearest)"
            printf "| amsynth | %.1f | %.1f | %.1f | %.0fx | " ratios " |\n",
                a[1], a[2], a[3], audio_ms / a[1], a[1] / median, a[1] / ms[1], a[1] / ms[n]
            printf "| ZynAddSubFX | %.1f | %.1f | %.1f | %.0fx | " ratios " |\n",
                z[1], z[2], z[3], audio_ms / z[1], z[1] / median, z[1] / ms[1], z[1] / ms[n]
            printf "| Quarnel idle (program 0, no notes) | %.2f | %.2f | %.2f | %.0fx | " \
                "%.1f%% of program 0 with 8 voices, %.1f%% of the median |\n",
                i[1], i[2], i[3], audio_ms / i[1], 100 * i[1] / first, 100 * i[1] / median
        }'
    echo
    echo "Ratios are the peer's CPU time divided by Quarnel's: above 1x Quarnel is the cheaper."
    echo
    echo "## The DLL under Wine against the .so"
    echo
    echo "| Program | .so CPU ms per $dll_seconds s | DLL CPU ms per $dll_seconds s | DLL / .so |"
    echo "| ---: | ---: | ---: | ---: |"
    awk -F '\t' '{ printf "| %s | %.1f | %.1f | %.2f |\n", $1, $2, $3, $3 / $2; s += $2; d += $3 }
        END { printf "| all | %.1f | %.1f | %.2f |\n", s, d, d / s }' "$work/dll"
    echo
    echo "## Every format against the .so"
    echo
    cat <<EOF
The same chord at program 0, rendered by quarnel-render through each format's host: the VST 2.4
.so, and the VST3 bundle, the CLAP file and the LV2 bundle the plug-in framework builds from the
same instrument core. CPU time is counted inside the plug-in's own process call only
(processReplacing, the VST3 processor's process, CLAP process, LV2 run), with the same thread
clock as above; the host's work of building the call's event list and buffers is outside it.
Each format renders once a round, in a fresh process, for $format_rounds rounds taken in turn, so
that the machine's load falls on all of them alike; the figure is the median of the rounds,
with the least and the most beside it. The ratio is the format's median over the .so's.

EOF
    echo "| Format | CPU ms (median) | Least | Most | Realtime | / .so |"
    echo "| --- | ---: | ---: | ---: | ---: | ---: |"
    for name in $format_names; do
        awk -F '\t' -v n="$name" '$1 == n { print $3 }' "$work/formats" | sort -g |
            awk -v n="$name" -v audio_ms=$((seconds * 1000)) '{ ms[NR] = $1 }
                END {
                    median = (NR % 2) ? ms[(NR + 1) / 2] : (ms[NR / 2] + ms[NR / 2 + 1]) / 2
                    printf "%s\t%.3f\t%.3f\t%.3f\t%.0f\n", n, median, ms[1], ms[NR],
                        audio_ms / median
                }'
    done | awk -F '\t' '{ if (NR == 1) base = $2
        printf "| %s | %.1f | %.1f | %.1f | %sx | %.3f |\n", $1, $2, $3, $4, $5, $2 / base }'
    echo
    echo "## Every built-in program"
    echo
    echo "| Slot | Program | CPU ms (median) | Least | Most | Realtime | Peak dBFS |"
    echo "| ---: | --- | ---: | ---: | ---: | ---: | ---: |"
    awk -F '\t' -v audio_ms=$((seconds * 1000)) '{ printf "| %s | %s | %.1f | %.1f | %.1f | %.0fx | %s |\n",
        $1, $2, $3, $4, $5, audio_ms / $3, $6 }' "$work/quarnel"

    if [ $# -gt 0 ]; then
        echo
        echo "## Unit benchmarks"
        echo
        cat <<EOF
Google Benchmark, bench/: CPU time per iteration and the counters each benchmark reports.
instanceMemoryAt48kHz counts what one instance allocates until it runs at 48 kHz (allocated:
all that operator new was asked for; resident: the heap growth that stays). heldVoices/N
reports time_per_voice_sample: the time of a 512-frame block, fixed costs included,
over N voices x 512 frames. voiceLanesAfterNoteOn/P times the voice kernel alone over the first
2 s of the chord at program P, struck afresh for each iteration (172 blocks of 512 frames), while
the envelopes still move. Debian's libbenchmark is a debug build of the library; it warns so,
which does not touch the code measured.
EOF
        for results in "$@"; do
            echo
            echo "$(basename "$results" .json):"
            echo
            echo "| Benchmark | CPU time | Counters |"
            echo "| --- | ---: | --- |"
            # Google Benchmark's JSON has one "key": value pair a line; every run starts with
            # its name, and whatever is not one of the fixed fields is a counter.
            fixed="^(family_index|per_family_instance_index|run_name|run_type|repetitions"
            fixed="$fixed|repetition_index|threads|iterations|real_time|aggregate_name"
            fixed="$fixed|aggregate_unit|label|error_occurred|error_message)\$"
            awk -v fixed="$fixed" '
                function shown(number) {
                    number += 0
                    if (number == int(number) && number < 1e15) return sprintf("%d", number)
                    return number >= 100 ? sprintf("%.0f", number) : sprintf("%.3g", number)
                }
                function flush() {
                    if (name != "") printf "| %s | %s %s | %s |\n", name, shown(cpu), unit, counters
                    name = ""; counters = ""
                }
                /^ *"benchmarks": / { inside = 1; next }
                !inside { next }
                /"[a-z_]+": / {
                    key = $1; gsub(/[":]/, "", key)
                    value = $0; sub(/^[^:]*: */, "", value); sub(/,$/, "", value)
                    gsub(/"/, "", value)
                    if (key == "name") { flush(); name = value; next }
                    if (key == "cpu_time") { cpu = value; next }
                    if (key == "time_unit") { unit = value; next }
                    if (key ~ fixed) next
                    number = value + 0
                    # Counters in seconds (inverted rates) read better in nanoseconds.
                    text = key ~ /^time_/ ? sprintf("%.1f ns", number * 1e9) : shown(number)
                    counters = counters (counters == "" ? "" : ", ") key "=" text
                }
                END { flush() }' "$results"
        done
    fi
} >"$page"

mkdir -p "$(dirname "$output")"
mv "$page" "$output"
echo "speed-table: wrote $output; the targets:" >&2
cat "$work/targets" >&2
