#!/bin/sh
# Plays the standalone program and the LV2 build (in jalv) under a private JACK server with the
# dummy driver: jack_midiseq feeds each a looping pair of notes, jack_rec records their outputs,
# and every half second of each recording must hold sound. Then everything started here is ended
# and the standalone and jalv must have stopped cleanly.
#
# usage: jack_play_test.sh QUARNEL_PROGRAM LV2_BUNDLE_DIR
# Needs jackd2 (jackd, jack_midiseq, jack_rec, jack_connect, jack_lsp, jack_wait) and jalv.
set -eu

program=$1
bundle=$2
uri=urn:kel:quarnel
rate=48000
seconds=2
# 16-bit samples: the peak of each half second must pass about -50 dBFS.
threshold=100

work=$(mktemp -d "${TMPDIR:-/tmp}/quarnel-jack.XXXXXX")
# A server name of our own so a user's server is never joined or disturbed.
server="quarnel-test-$$"
export JACK_DEFAULT_SERVER="$server"
export JACK_NO_AUDIO_RESERVATION=1
# JACK keeps its sockets under JACK_TMPDIR's default (/dev/shm); leave that, but keep our logs here.
pids=""

cleanup() {
  for pid in $pids; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in $pids; do
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

fail() {
  echo "jack_play_test: $*" >&2
  for log in "$work"/*.log; do
    [ -f "$log" ] || continue
    echo "---- $log" >&2
    tail -n 20 "$log" >&2
  done
  exit 1
}

# Waits up to five seconds for a port to appear.
wait_port() {
  tries=0
  until jack_lsp 2>/dev/null | grep -qx "$1"; do
    tries=$((tries + 1))
    [ "$tries" -le 50 ] || fail "port $1 never appeared"
    sleep 0.1
  done
}

# Prints the largest absolute 16-bit sample of each half second of a stereo WAV file, one a line.
half_second_peaks() {
  # The samples start after the "data" tag and its 4-byte size.
  offset=$(grep -obUa data "$1" | head -n 1 | cut -d: -f1)
  [ -n "$offset" ] || fail "$1 holds no data chunk"
  od -An -v -t d2 -j $((offset + 8)) "$1" |
    awk -v block=$((rate / 2 * 2)) '
      { for (i = 1; i <= NF; i++) {
          v = $i < 0 ? -$i : $i
          if (v > peak) peak = v
          if (++n == block) { print peak; peak = 0; n = 0 }
        } }'
}

jackd --no-realtime -n "$server" -d dummy -r "$rate" -p 256 >"$work/jackd.log" 2>&1 &
pids="$pids $!"
jack_wait -w -t 5 >/dev/null 2>&1 || fail "the JACK server did not start"

"$program" --server "$server" >"$work/standalone.log" 2>&1 &
standalone=$!
pids="$pids $standalone"

# jalv looks through every folder on LV2_PATH, so give it one holding only our bundle. Its console
# reads commands from standard input and ends at end of input, so keep that open with a pipe.
mkdir "$work/lv2"
ln -s "$(cd "$bundle" && pwd)" "$work/lv2/Quarnel.lv2"
mkfifo "$work/jalv.in"
LV2_PATH="$work/lv2" jalv -x -n QuarnelLV2 "$uri" <"$work/jalv.in" >"$work/jalv.log" 2>&1 &
jalv=$!
pids="$pids $jalv"
exec 3>"$work/jalv.in"

# A one-second loop: middle C and the E above it for its first half, then silence.
jack_midiseq seq $rate 0 60 $((rate / 2)) 0 64 $((rate / 2)) >"$work/midiseq.log" 2>&1 &
pids="$pids $!"

wait_port Quarnel:audio_out_1
wait_port Quarnel:audio_out_2
wait_port Quarnel:events-in
wait_port seq:out
# jalv makes its ports after loading the plug-in; wait for its two audio outputs.
tries=0
until [ "$(jack_lsp QuarnelLV2 -t 2>/dev/null | grep -c audio)" -ge 2 ]; do
  tries=$((tries + 1))
  [ "$tries" -le 50 ] || fail "jalv never showed its audio outputs"
  sleep 0.1
done
jalv_midi=$(jack_lsp QuarnelLV2 -t | awk '/^QuarnelLV2:/ { p = $0 } /^[[:space:]].*midi/ { print p; exit }')
jalv_audio=$(jack_lsp QuarnelLV2 -t | awk '/^QuarnelLV2:/ { p = $0 } /^[[:space:]].*audio/ { print p }')
[ -n "$jalv_midi" ] || fail "jalv shows no MIDI input"
[ "$(echo "$jalv_audio" | wc -l)" -eq 2 ] || fail "jalv shows no two audio outputs"

jack_connect seq:out Quarnel:events-in
jack_connect seq:out "$jalv_midi"

# Both recorders start together, after the notes have begun.
sleep 0.5
# shellcheck disable=SC2086
jack_rec -f "$work/standalone.wav" -d $seconds -b 16 Quarnel:audio_out_1 Quarnel:audio_out_2 \
  >"$work/rec-standalone.log" 2>&1 &
rec1=$!
# shellcheck disable=SC2086
jack_rec -f "$work/lv2.wav" -d $seconds -b 16 $jalv_audio >"$work/rec-lv2.log" 2>&1 &
rec2=$!
wait $rec1 || fail "jack_rec of the standalone failed"
wait $rec2 || fail "jack_rec of the LV2 failed"

for name in standalone lv2; do
  peaks=$(half_second_peaks "$work/$name.wav")
  count=$(echo "$peaks" | grep -c . || true)
  [ "$count" -ge $((seconds * 2)) ] || fail "$name: only $count half seconds recorded"
  for peak in $peaks; do
    [ "$peak" -gt $threshold ] || fail "$name: a half second peaks at $peak (of 32767)"
  done
  echo "$name: half-second peaks" $peaks
done

# Both must still run, then leave on SIGTERM with status 0.
for pid in $standalone $jalv; do
  kill -0 "$pid" 2>/dev/null || fail "a client ($pid) died while playing"
done
kill -TERM $standalone
status=0
wait $standalone || status=$?
[ $status -eq 0 ] || fail "the standalone ended with status $status on SIGTERM"
kill -TERM $jalv
exec 3>&-
status=0
wait $jalv || status=$?
[ $status -eq 0 ] || fail "jalv ended with status $status on SIGTERM"
echo "jack_play_test: passed"
