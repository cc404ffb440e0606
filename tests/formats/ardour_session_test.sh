#!/bin/sh
# Plays the LV2 and the VST3 build in Ardour 7, headless (its Lua interpreter on the dummy
# backend). A fresh session gets a MIDI track per format: a Lua player sending a phrase (notes,
# volume, pan, expression, pitch bends, controllers 20 and 21) at fixed samples, Quarnel with a
# program and the six parameters away from their defaults, and a Lua capture of Quarnel's output.
# Each capture must equal, bit for bit, what the VST 2.4 .so renders through quarnel-render with
# the same MIDI, program, parameters and rate. Then the session is saved, opened again by another
# interpreter, the six parameters must read back (VST3: with the values controllers 20 and 21
# wrote) and the captures must again equal the VST 2.4 render.
#
# usage: ardour_session_test.sh QUARNEL_SO VST3_BUNDLE LV2_BUNDLE QUARNEL_RENDER
# Needs Debian's ardour package (ardour7-lua and its plug-in scanners).
set -eu

# Absolute paths: the test works in a folder of its own.
absolute() {
  echo "$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
}
so=$(absolute "$1")
vst3=$(absolute "$2")
lv2=$(absolute "$3")
render=$(absolute "$4")
here=$(cd "$(dirname "$0")" && pwd)
driver=$here/ardour_session_test.lua
phrase=$here/ardour_phrase.lua
ardour_libs=/usr/lib/ardour7

work=$(mktemp -d "${TMPDIR:-/tmp}/quarnel-ardour.XXXXXX")
cleanup() {
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

fail() {
  echo "ardour_session_test: $*" >&2
  for log in "$work"/*.log; do
    [ -f "$log" ] || continue
    echo "---- $log" >&2
    grep -v "Ignored format" "$log" | tail -n 30 >&2
  done
  exit 1
}

command -v ardour7-lua >/dev/null || fail "ardour7-lua is missing (Debian package ardour)"

# Ardour keeps its configuration, plug-in caches and scan logs under these: all of them in the
# work folder, so nothing of the user's is read or touched.
export HOME="$work/home"
export XDG_CONFIG_HOME="$HOME/.config"
export XDG_CACHE_HOME="$HOME/.cache"
config=$XDG_CONFIG_HOME/ardour7
mkdir -p "$config/scripts" "$XDG_CACHE_HOME" "$work/plugins/lv2" "$work/plugins/vst3"

# Plug-in folders holding only our bundles. Ardour finds LV2 bundles through LV2_PATH and the
# others through its own path settings (the Linux VST one names an empty folder, so no VST 2.4
# plug-in of the system is looked at).
ln -s "$lv2" "$work/plugins/lv2/Quarnel.lv2"
ln -s "$vst3" "$work/plugins/vst3/Quarnel.vst3"
export LV2_PATH="$work/plugins/lv2"
# Ardour's default denormal model sets the processor's flush-to-zero modes, which the reference
# render does not have.
cat >"$config/config" <<EOF
<?xml version="1.0" encoding="UTF-8"?>
<Ardour>
  <Config>
    <Option name="plugin-path-vst3" value="$work/plugins/vst3"/>
    <Option name="plugin-path-lxvst" value="$work/plugins/lxvst"/>
    <Option name="denormal-model" value="DenormalNone"/>
  </Config>
</Ardour>
EOF
# The interpreter only reads the VST3 cache; Ardour's scanner writes it, as the GUI would have.
LD_LIBRARY_PATH=$ardour_libs "$ardour_libs/ardour-vst3-scanner" -q -f \
  "$work/plugins/vst3/Quarnel.vst3" >"$work/vst3-scan.log" 2>&1 ||
  fail "Ardour's VST3 scanner rejected the bundle"

# The phrase player and the capture, DSP scripts Ardour indexes when it starts.
cp "$phrase" "$config/scripts/quarnel_test_phrase.lua"
cp "$here/ardour_capture.lua" "$config/scripts/quarnel_test_capture.lua"

cd "$work"

# The reference: the phrase as a MIDI file through the VST 2.4 build.
ardour7-lua "$driver" midi "$phrase" "$work/phrase.mid" >"$work/midi.log" 2>&1 ||
  fail "could not write the phrase's MIDI file"
grep '^--' "$work/midi.log" >"$work/settings" || fail "the driver printed no render settings"
# One setting a line (a program name may hold spaces).
set --
while IFS= read -r setting; do
  set -- "$@" "$setting"
done <"$work/settings"
"$render" --plugin "$so" "$@" -o "$work/reference.wav" "$work/phrase.mid" >"$work/render.log" 2>&1 ||
  fail "quarnel-render failed"

# Ardour's own session set-up now and then registers a track's output port twice and aborts
# ("Port already exists"), before anything is played; that one failure is taken again, from an
# empty session folder, up to twice.
attempt=1
until ardour7-lua "$driver" create "$phrase" "$work/session" >"$work/create.log" 2>&1; do
  if [ $attempt -ge 3 ] || ! grep -q 'Port already exists' "$work/create.log"; then
    fail "the session could not be made"
  fi
  echo "ardour_session_test: Ardour failed to set up the session's ports; again" >&2
  rm -rf "$work/session"
  attempt=$((attempt + 1))
done
ardour7-lua "$driver" play "$phrase" "$work/session" "$work/reference.wav" \
  >"$work/play.log" 2>&1 || fail "the session did not play as the VST 2.4 build"
grep -E '^(FAIL|lv2|vst3)' "$work/play.log" || true
ardour7-lua "$driver" restore "$phrase" "$work/session" "$work/reference.wav" \
  >"$work/restore.log" 2>&1 || fail "the session opened again did not play as the VST 2.4 build"
grep -E '^(FAIL|lv2|vst3)' "$work/restore.log" || true
echo "ardour_session_test: passed"
