-- Ardour's side of ardour_session_test.sh, run by Ardour's Lua interpreter (ardour7-lua):
--
--   midi PHRASE OUT.mid         writes the phrase as a Standard MIDI File for the reference
--                               render and prints quarnel-render's settings, one a line
--   create PHRASE SESSION       makes a session with a MIDI track per format: the phrase
--                               player, Quarnel with the program selected, the capture; saves it
--   play PHRASE SESSION REF     opens it, sets the six parameters, plays the phrase, compares
--                               what each track's capture kept with REF and saves the session
--   restore PHRASE SESSION REF  opens it again, reads the six parameters back, and plays and
--                               compares again
--
-- REF is what the VST 2.4 .so renders through quarnel-render; each capture (Quarnel's output,
-- taken right after it, before fader and panner) must equal it bit for bit. The program is one
-- without the ensemble, whose sweep runs on through silence: with it the sound of a note would
-- depend on how long the host ran the plug-in before the transport started.
--
-- Ardour 7.3 cannot select a program of the VST3 build while it runs: its load_preset (of a
-- factory program or a preset file alike) holds the plug-in's process lock while the plug-in
-- reports the changed parameter values, as the framework's wrapper does within every program
-- change and state restore, and restartComponent waits for that same lock for ever. A session
-- it opens is restored without that lock, so the VST3 track gets its program through the saved
-- session: create sets the program slot in the track's saved state.

io.stdout:setvbuf ("line")
local mode, phrase_path, target, reference = arg[1], arg[2], arg[3], arg[4]

local rate = 48000
local program = "Sequence 3"
-- name, value in the parameter's own units (as LV2 and VST3 announce them), range
local parameters = {
  { "Window", 35, 0, 100 },
  { "Modulation", 80, 0, 100 },
  { "Atack", -35, -80, 100 },
  { "Sustain", 60, -99, 100 },
  { "HPF", 300, 10, 1500 },
  { "LPF", 9200, 2000, 20000 },
}
-- track name, plug-in type
local formats = {
  { "lv2", ARDOUR.PluginType.LV2 },
  { "vst3", ARDOUR.PluginType.VST3 },
}
local session_name = "quarnel"

local failures = 0
local function fail (text)
  print ("FAIL: " .. text)
  failures = failures + 1
end

-- The phrase player is an Ardour DSP script; here only its table is wanted.
function ardour () end
dofile (phrase_path)

-- ---- the reference's MIDI file ----------------------------------------------------------------

local ticks_per_quarter, tempo = 480, 500000 -- a tick is 1/960 s: 50 samples at 48 kHz
local samples_per_tick = rate * tempo // 1000000 // ticks_per_quarter
-- The frames compared (the capture keeps two seconds).
local frames = 2 * rate

local function variable_length (n)
  local bytes = string.char (n & 0x7F)
  n = n >> 7
  while n > 0 do
    bytes = string.char ((n & 0x7F) | 0x80) .. bytes
    n = n >> 7
  end
  return bytes
end

local function write_midi (path)
  local track = "\0\xFF\x51\x03" .. string.pack (">I3", tempo)
  local last = 0
  for _, m in ipairs (phrase) do
    assert (m[1] % samples_per_tick == 0, "a phrase message off the tick grid")
    local tick = m[1] // samples_per_tick
    track = track .. variable_length (tick - last) .. string.char (m[2], m[3], m[4])
    last = tick
  end
  track = track .. "\0\xFF\x2F\0"
  local f = assert (io.open (path, "wb"))
  f:write ("MThd", string.pack (">I4I2I2I2", 6, 0, 1, ticks_per_quarter))
  f:write ("MTrk", string.pack (">I4", #track), track)
  f:close ()
end

if mode == "midi" then
  write_midi (target)
  print ("--rate=" .. rate)
  print ("--program=" .. program)
  for _, p in ipairs (parameters) do
    print (string.format ("--parameter=%s=%.9g", p[1], (p[2] - p[3]) / (p[4] - p[3])))
  end
  -- The render ends with the frames compared.
  print (string.format ("--tail=%.9g", (frames - phrase[#phrase][1]) / rate))
  os.exit (0)
end

-- ---- the reference ----------------------------------------------------------------------------

-- The interleaved stereo float samples of a WAV file, as bytes; nil and the reason when the file
-- is no 32-bit float stereo WAV at the rate.
local function wav_samples (path)
  local f = io.open (path, "rb")
  if not f then return nil, "no file " .. path end
  local bytes = f:read ("a")
  f:close ()
  if bytes:sub (1, 4) ~= "RIFF" or bytes:sub (9, 12) ~= "WAVE" then return nil, path .. " is no WAV file" end
  local at, format, data = 13, nil, nil
  while at + 8 <= #bytes do
    local id, size = bytes:sub (at, at + 3), string.unpack ("<I4", bytes, at + 4)
    if id == "fmt " then
      local tag, channels, sample_rate, _, _, bits = string.unpack ("<I2I2I4I4I2I2", bytes, at + 8)
      if tag == 0xFFFE then tag = string.unpack ("<I2", bytes, at + 8 + 24) end
      format = { tag = tag, channels = channels, rate = sample_rate, bits = bits }
    elseif id == "data" then
      data = bytes:sub (at + 8, at + 7 + size)
    end
    at = at + 8 + size + (size % 2)
  end
  if not format or not data then return nil, path .. " has no fmt or data chunk" end
  if format.tag ~= 3 or format.channels ~= 2 or format.bits ~= 32 or format.rate ~= rate then
    return nil, path .. " is not 32-bit float stereo at " .. rate .. " Hz"
  end
  return data
end

-- ---- the VST3 track's program in the saved session ---------------------------------------------

local base64_letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"

local function base64_decode (text)
  local values = {}
  for i = 1, 64 do values[base64_letters:byte (i)] = i - 1 end
  local bytes, bits, count = {}, 0, 0
  for c in text:gmatch ("[%w+/]") do
    bits = ((bits << 6) | values[c:byte ()]) & 0xFFFFFF
    count = count + 6
    if count >= 8 then
      count = count - 8
      bytes[#bytes + 1] = string.char ((bits >> count) & 0xFF)
    end
  end
  return table.concat (bytes)
end

local function base64_encode (data)
  local out = {}
  for i = 1, #data, 3 do
    local a, b, c = data:byte (i, i + 2)
    local n = (a << 16) | ((b or 0) << 8) | (c or 0)
    local quad = {}
    for k = 3, 0, -1 do
      local v = (n >> (6 * k)) & 0x3F
      quad[#quad + 1] = base64_letters:sub (v + 1, v + 1)
    end
    if not b then quad[3], quad[4] = "=", "=" elseif not c then quad[4] = "=" end
    out[#out + 1] = table.concat (quad)
  end
  return table.concat (out)
end

-- A VST3 state as Ardour keeps it (a .vstpreset file's bytes: header, the framework's component
-- state, the chunk list) with the framework's program and the instrument's "program" key set to
-- number; nil when the state is not laid out so.
local function vst3_state_with_program (state, number)
  if state:sub (1, 4) ~= "VST3" then return nil end
  local list = string.unpack ("<i8", state, 41)
  if state:sub (list + 1, list + 4) ~= "List" or string.unpack ("<i4", state, list + 5) ~= 1
     or state:sub (list + 9, list + 12) ~= "Comp" then
    return nil
  end
  local offset, size = string.unpack ("<i8i8", state, list + 13)
  local component = state:sub (offset + 1, offset + size)
  local count
  component, count = component:gsub ("^__dpf_program__%z%d+%z", "__dpf_program__\0" .. number .. "\0")
  if count ~= 1 then return nil end
  component, count = component:gsub ("%zprogram%z%d+%z", "\0program\0" .. number .. "\0")
  if count ~= 1 then return nil end
  return state:sub (1, 40) .. string.pack ("<i8", offset + #component) .. state:sub (49, offset)
         .. component .. "List" .. string.pack ("<i4", 1) .. "Comp" .. string.pack ("<i8i8", offset, #component)
end

-- Sets the program slot in the state of the (only) VST3 plug-in of a saved session file.
local function set_saved_vst3_program (file, number)
  local f = io.open (file, "rb")
  if not f then return false end
  local xml = f:read ("a")
  f:close ()
  local node = xml:find ("<vst3 ", 1, true)
  local _, from = xml:find ("<chunk>", node or #xml, true)
  local to = from and xml:find ("</chunk>", from, true)
  if not to then return false end
  local state = vst3_state_with_program (base64_decode (xml:sub (from + 1, to - 1)), number)
  if not state then return false end
  f = assert (io.open (file, "wb"))
  f:write (xml:sub (1, from), base64_encode (state), xml:sub (to))
  f:close ()
  return true
end

-- ---- the session ------------------------------------------------------------------------------

local function start_engine ()
  assert (AudioEngine:set_backend ("None (Dummy)", "", ""), "no dummy backend")
  AudioEngine:set_sample_rate (rate)
  assert (AudioEngine:start (false) == 0, "the dummy backend did not start")
end

local function find_plugin (kind)
  for p in ARDOUR.LuaAPI.list_plugins ():iter () do
    if p.type == kind and p.name == "Quarnel" and p.creator == "kel" then return p end
  end
end

-- Quarnel's processor and plug-in, and the capture's plug-in, on the track named name.
local function track_parts (name)
  local route = Session:route_by_name (name)
  if route:isnil () then return nil end
  local instrument = route:the_instrument ()
  local capture = route:nth_plugin (2)
  if instrument:isnil () or capture:isnil () or capture:display_name () ~= "Quarnel Test Capture" then
    return nil
  end
  return instrument, instrument:to_insert ():plugin (0), capture:to_insert ():plugin (0):to_luaproc ()
end

-- The plug-in's parameters by name: the number LuaAPI's parameter functions take and the
-- plug-in's own parameter id.
local function parameter_numbers (plugin)
  local numbers = {}
  local n = 0
  while true do
    local id, ok = plugin:nth_parameter (n, false)
    if not ok[2] then break end
    numbers[plugin:parameter_label (id)] = { n = n, id = id }
    n = n + 1
  end
  return numbers
end

local function set_parameters (label, processor, plugin)
  local numbers = parameter_numbers (plugin)
  for _, p in ipairs (parameters) do
    local number = numbers[p[1]]
    if not number then
      fail (label .. ": no parameter " .. p[1])
    else
      local _, d = plugin:get_parameter_descriptor (number.id, ARDOUR.ParameterDescriptor ())
      if d[2].lower ~= p[3] or d[2].upper ~= p[4] then
        fail (string.format ("%s: %s ranges %s..%s", label, p[1], d[2].lower, d[2].upper))
      end
      ARDOUR.LuaAPI.set_processor_param (processor, number.n, p[2])
    end
  end
end

-- changed: the values the phrase's controllers left, by name, or nil.
local function check_parameters (label, processor, plugin, when, changed)
  local numbers = parameter_numbers (plugin)
  for _, p in ipairs (parameters) do
    local number = numbers[p[1]]
    local want = changed and changed[p[1]] or p[2]
    if not number then
      fail (label .. ": no parameter " .. p[1])
    else
      local value = ARDOUR.LuaAPI.get_processor_param (processor, number.n)
      if value ~= want then
        fail (string.format ("%s: %s reads %s %s, not %s", label, p[1], tostring (value), when, tostring (want)))
      end
    end
  end
end

-- Plays the timeline from 0 until every capture is full (in real time, on the dummy backend).
local function play (captures)
  local function full ()
    for _, capture in ipairs (captures) do
      local counts = capture:shmem ():to_int (0):array ()
      if counts[1] < counts[2] then return false end
    end
    return true
  end
  Session:request_locate (0, false, ARDOUR.LocateTransportDisposition.MustStop, ARDOUR.TransportRequestSource.TRS_UI)
  ARDOUR.LuaAPI.wait_for_process_callback (8, 2000)
  Session:request_roll (ARDOUR.TransportRequestSource.TRS_UI)
  local waited = 0
  while not full () and waited < 20000 do
    ARDOUR.LuaAPI.usleep (20000)
    waited = waited + 20
  end
  Session:request_stop (false, false, ARDOUR.TransportRequestSource.TRS_UI)
  ARDOUR.LuaAPI.wait_for_process_callback (8, 2000)
  if not full () then fail ("the transport did not play the two seconds") end
end

-- Compares what capture kept with the reference, bit for bit.
local function compare (label, capture)
  local want, why = wav_samples (reference)
  if not want then return fail ("reference: " .. why) end
  local shm = capture:shmem ()
  local counts = shm:to_int (0):array ()
  local length = counts[2]
  local left, right = shm:to_float (2):array (), shm:to_float (2 + length):array ()
  local got = {}
  for i = 1, length do
    got[#got + 1] = string.pack ("<ff", left[i], right[i])
  end
  got = table.concat (got)
  if got == want then
    print (string.format ("%s: %d frames, identical to the VST 2.4 render", label, length))
    return
  end
  local peak, first = 0.0, nil
  for i = 1, math.min (#got, #want) - 3, 4 do
    local a, b = string.unpack ("<f", got, i), string.unpack ("<f", want, i)
    if a ~= b then
      first = first or (i - 1) // 8
      peak = math.max (peak, math.abs (a - b))
    end
  end
  fail (string.format ("%s: differs from the VST 2.4 render (%d against %d frames): first at frame %s, peak difference %.1f dBFS",
                       label, #got // 8, #want // 8, tostring (first),
                       peak > 0 and 20 * math.log (peak, 10) or -math.huge))
end

local function finish ()
  if Session then close_session () end
  if failures > 0 then
    print (failures .. " failure(s)")
    os.exit (1)
  end
  print ("ok")
  os.exit (0)
end

start_engine ()

if mode == "create" then
  assert (create_session (target, session_name, rate), "could not create the session")
  local vst3_slot
  for _, f in ipairs (formats) do
    local label = f[1]
    local info = find_plugin (f[2])
    if not info then
      fail (label .. ": Ardour did not find the plug-in")
    else
      local track = Session:new_midi_track (
        ARDOUR.ChanCount (ARDOUR.DataType ("midi"), 1), ARDOUR.ChanCount (ARDOUR.DataType ("audio"), 2),
        true, info, nil, nil, 1, label, ARDOUR.PresentationInfo.max_order, ARDOUR.TrackMode.Normal,
        false, false):front ()
      local player = ARDOUR.LuaAPI.new_luaproc (Session, "Quarnel Test Phrase")
      local capture = ARDOUR.LuaAPI.new_luaproc (Session, "Quarnel Test Capture")
      assert (not player:isnil () and not capture:isnil (), "the test's DSP scripts are missing")
      track:add_processor_by_index (player, 0, nil, true)
      track:add_processor_by_index (capture, 2, nil, true)
      local instrument, plugin = track_parts (label)
      if not instrument then
        fail (label .. ": the track is not player, Quarnel, capture")
      else
        local preset = plugin:preset_by_label (program)
        if not preset or not preset.valid then
          fail (label .. ": no program " .. program)
        elseif label == "vst3" then
          vst3_slot = tonumber (preset.uri:match ("(%d+)$"))
        elseif not plugin:load_preset (preset) then
          fail (label .. ": the program " .. program .. " did not load")
        end
      end
    end
  end
  if Session:save_state ("", false, false, false, false, false) ~= 0 then fail ("the session was not saved") end
  -- Closing the session does not save it again.
  if not vst3_slot or not set_saved_vst3_program (target .. "/" .. session_name .. ".ardour", vst3_slot) then
    fail ("vst3: could not set the program in the saved session")
  end
elseif mode == "play" or mode == "restore" then
  assert (load_session (target, session_name), "could not open the session")
  local captures, labels = {}, {}
  for _, f in ipairs (formats) do
    local label = f[1] .. (mode == "restore" and " restored" or "")
    local instrument, plugin, capture = track_parts (f[1])
    if not instrument then
      fail (label .. ": the track is not player, Quarnel, capture")
    else
      if mode == "play" then
        set_parameters (label, instrument, plugin)
        check_parameters (label, instrument, plugin, "after setting")
      else
        -- The VST3 build tells the host of the values controllers 20 and 21 wrote; an LV2 host
        -- owns the control ports, which keep what the host set.
        check_parameters (label, instrument, plugin, "after the session was opened again",
                          f[1] == "vst3" and after_phrase or nil)
      end
      captures[#captures + 1], labels[#labels + 1] = capture, label
    end
  end
  play (captures)
  for i, capture in ipairs (captures) do compare (labels[i], capture) end
  if mode == "play" and Session:save_state ("", false, false, false, false, false) ~= 0 then
    fail ("the session was not saved")
  end
else
  error ("unknown mode " .. tostring (mode))
end
finish ()
