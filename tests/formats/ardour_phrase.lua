ardour { ["type"] = "dsp", name = "Quarnel Test Phrase", category = "Utility", license = "MIT",
  author = "kel", description = [[Plays the Ardour session test's phrase into the instrument after it, every message at its sample of the timeline, while the transport rolls.]] }

-- The phrase: sample of the timeline (48 kHz), then the MIDI bytes. Every sample is a multiple of
-- 50, one tick of the Standard MIDI File ardour_session_test.lua writes for the reference render
-- (480 ticks a quarter at 120 beats a minute), so both play each message at the same frame.
--
-- It starts by setting the controllers the instrument follows, so that a session opened again
-- plays as the first time: controllers 20 and 21 write "Modulation" (80) and "Atack" (-35) of the
-- current program. Later ones bend a sounding note (to the top and back), change expression and
-- pan, and set "Modulation" to 50 and "Atack" to 48, which the session saves.
phrase = {
  { 0, 0xB0, 7, 105 },        -- volume
  { 0, 0xB0, 10, 64 },        -- pan centre
  { 0, 0xB0, 11, 127 },       -- expression
  { 0, 0xB0, 64, 0 },         -- pedal up
  { 0, 0xE0, 0x00, 0x40 },    -- bend centre
  { 0, 0xB0, 20, 101 },       -- "Modulation" 80
  { 0, 0xB0, 21, 31 },        -- "Atack" -35
  { 2400, 0xB0, 7, 110 },     -- volume
  { 4800, 0x90, 60, 100 },
  { 7200, 0xE0, 0x7F, 0x7F }, -- bend to the top
  { 8400, 0xE0, 0x01, 0x20 }, -- bend down
  { 9000, 0xE0, 0x00, 0x40 }, -- bend centre
  { 9600, 0x90, 64, 90 },
  { 12000, 0xB0, 20, 64 },    -- "Modulation" 50
  { 12000, 0xB0, 11, 100 },   -- expression
  { 14400, 0xB0, 10, 38 },    -- pan left of centre
  { 16000, 0xB0, 21, 90 },    -- "Atack" 48
  { 16800, 0x90, 67, 110 },
  { 19200, 0x80, 60, 0 },
  { 24000, 0x80, 64, 0 },
  { 28800, 0x80, 67, 0 },
}

-- The values controllers 20 and 21 leave "Modulation" and "Atack" at.
after_phrase = { Modulation = 50, Atack = 48 }

function dsp_ioconfig ()
  return { { midi_in = 1, midi_out = 1, audio_in = 0, audio_out = 0 } }
end

function dsp_has_midi_input () return true end
function dsp_has_midi_output () return true end

-- Only this processor's messages reach the instrument: what comes in is dropped.
function dsp_run (_, _, n_samples)
  if not Session:transport_rolling () then return end
  local start = Session:transport_sample ()
  local count = 0
  for _, m in ipairs (phrase) do
    if m[1] >= start and m[1] < start + n_samples then
      count = count + 1
      midiout[count] = { time = m[1] - start + 1, data = { m[2], m[3], m[4] } }
    end
  end
end
