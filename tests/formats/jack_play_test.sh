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
# A server name of our own so a user's server is never joined or disturbed. It is the same name
# every run: JACK keeps a registry of at most eight servers in shared memory and frees an entry
# left by a server that died only when a server of the same name starts, so a name per run would
# fill the registry with the entries of killed runs until no server can start.
server="quarnel-test"
export JACK_DEFAULT_SERVER="$server"
export JACK_NO_AUDIO_RESERVATION=1
# JACK keeps its sockets under JACK_TMPDIR's default (/dev/shm); leave that, but keep our logs here.
pids=""

# Ends the clients before the server (a server asked to stop while clients are connected takes
# seconds to close), none waited for longer than five seconds.
cleanup() {
  reversed=""
  for pid in $pids; do
    reversed="$pid $reversed"
  done
  for pid in $reversed; do
    kill "$pid" 2>/dev/null || true
    wait_bounded "$pid" 5 2>/dev/null || true
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

# Prints the largest absolute 16-bit sample of each half second of channels $2 and $3 of a
# four-channel WAV file, one a line.
half_second_peaks() {
  # The samples start after the "data" tag and its 4-byte size.
  offset=$(grep -obUa data "$1" | head -n 1 | cut -d: -f1)
  [ -n "$offset" ] || fail "$1 holds no data chunk"
  od -An -v -t d2 -j $((offset + 8)) "$1" |
    awk -v frames=$((rate / 2)) -v a="$2" -v b="$3" '
      { for (i = 1; i <= NF; i++) {
          channel = n % 4 + 1
          v = $i < 0 ? -$i : $i
          if ((channel == a || channel == b) && v > peak) peak = v
          if (++n == frames * 4) { print peak; peak = 0; n = 0 }
        } }'
}

# Waits for a process started here to end, at most $2 seconds, and sets status to its exit
# status; a process still running then is killed and reported as 124. An ended child stays a
# zombie until waited for, so the loop reads its state rather than asking kill -0. (Not in a
# command substitution: a subshell cannot wait for its parent's children.)
wait_bounded() {
  tenths=0
  while [ -r "/proc/$1/stat" ] && [ "$(cut -d' ' -f3 "/proc/$1/stat" 2>/dev/null)" != Z ]; do
    tenths=$((tenths + 1))
    if [ "$tenths" -gt $(($2 * 10)) ]; then
      kill -KILL "$1" 2>/dev/null || true
      wait "$1" 2>/dev/null || true
      status=124
      return
    fi
    sleep 0.1
  done
  status=0
  wait "$1" || status=$?
}

start_server() {
  jackd --no-realtime -n "$server" -d dummy -r "$rate" -p 256 >"$work/jackd.log" 2>&1 &
  server_pid=$!
  pids="$pids $server_pid"
  jack_wait -w -t 5 >/dev/null 2>&1
}

if pgrep -f "jackd.* -n $server " >/dev/null; then
  fail "a JACK server named $server already runs"
fi
if ! start_server; then
  # The registry can be full of entries that servers of other names left when they were killed.
  # With no JACK server running at all it describes nothing, and JACK makes a new one.
  if grep -q "Too many servers" "$work/jackd.log" && ! pgrep -x jackd >/dev/null &&
    ! pgrep -x jackdbus >/dev/null; then
    echo "jack_play_test: no JACK server runs; clearing the stale server registry" >&2
    wait "$server_pid" 2>/dev/null || true
    rm -f /dev/shm/jack-shm-registry
    start_server || fail "the JACK server did not start"
  else
    fail "the JACK server did not start"
  fi
fi

# The clients join one after another: jack2 has been seen to leave a client that joined while
# another was joining triggered but never woken, on a loaded machine without real-time rights.
"$program" --server "$server" >"$work/standalone.log" 2>&1 &
standalone=$!
pids="$pids $standalone"
wait_port Quarnel:audio_out_1
wait_port Quarnel:audio_out_2
wait_port Quarnel:events-in

# jalv looks through every folder on LV2_PATH, so give it one holding only our bundle. Its console
# reads commands from standard input and ends at end of input, so keep that open with a pipe.
mkdir "$work/lv2"
ln -s "$(cd "$bundle" && pwd)" "$work/lv2/Quarnel.lv2"
mkfifo "$work/jalv.in"
LV2_PATH="$work/lv2" jalv -x -n QuarnelLV2 "$uri" <"$work/jalv.in" >"$work/jalv.log" 2>&1 &
jalv=$!
pids="$pids $jalv"
exec 3>"$work/jalv.in"
# jalv makes its ports after loading the plug-in; wait for its two audio outputs.
tries=0
until [ "$(jack_lsp QuarnelLV2 -t 2>/dev/null | grep -c audio)" -ge 2 ]; do
  tries=$((tries + 1))
  [ "$tries" -le 50 ] || fail "jalv never showed its audio outputs"
  sleep 0.1
done

# A one-second loop: middle C and the E above it for its first half, then silence.
jack_midiseq seq $rate 0 60 $((rate / 2)) 0 64 $((rate / 2)) >"$work/midiseq.log" 2>&1 &
pids="$pids $!"
wait_port seq:out
jalv_midi=$(jack_lsp QuarnelLV2 -t | awk '/^QuarnelLV2:/ { p = $0 } /^[[:space:]].*midi/ { print p; exit }')
jalv_audio=$(jack_lsp QuarnelLV2 -t | awk '/^QuarnelLV2:/ { p = $0 } /^[[:space:]].*audio/ { print p }')
[ -n "$jalv_midi" ] || fail "jalv shows no MIDI input"
[ "$(echo "$jalv_audio" | wc -l)" -eq 2 ] || fail "jalv shows no two audio outputs"

jack_connect seq:out Quarnel:events-in
jack_connect seq:out "$jalv_midi"

# One recorder takes both pairs (channels 1-2 the standalone, 3-4 the LV2), after the notes have
# begun; it is killed (status 137) if it has not finished ten seconds after its end.
sleep 0.5
# shellcheck disable=SC2086
timeout -s KILL $((seconds + 10)) jack_rec -f "$work/both.wav" -d $seconds -b 16 \
  Quarnel:audio_out_1 Quarnel:audio_out_2 $jalv_audio >"$work/rec.log" 2>&1 &
rec=$!
status=0
wait $rec || status=$?
[ "$status" -eq 0 ] || fail "jack_rec ended with status $status (137: hung)"

for name in standalone lv2; do
  if [ $name = standalone ]; then
    peaks=$(half_second_peaks "$work/both.wav" 1 2)
  else
    peaks=$(half_second_peaks "$work/both.wav" 3 4)
  fi
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
wait_bounded $standalone 10
[ "$status" -eq 0 ] || fail "the standalone ended with status $status on SIGTERM (124: hung)"
kill -TERM $jalv
exec 3>&-
wait_bounded $jalv 10
[ "$status" -eq 0 ] || fail "jalv ended with status $status on SIGTERM (124: hung)"
echo "jack_play_test: passed"
