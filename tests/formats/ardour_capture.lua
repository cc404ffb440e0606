ardour { ["type"] = "dsp", name = "Quarnel Test Capture", category = "Utility", license = "MIT",
  author = "kel", description = [[Passes its stereo input on and keeps the first two seconds of the timeline of it, for the Ardour session test to read.]] }

-- Shared memory: word 1 the frames kept so far, word 2 the frames wanted, then the left and the
-- right channel of them, as floats.
local seconds = 2
local length = 0

function dsp_ioconfig ()
  return { { audio_in = 2, audio_out = 2 } }
end

function dsp_init (rate)
  length = seconds * rate
  local shm = self:shmem ()
  shm:allocate (2 + 2 * length)
  shm:clear ()
  shm:to_int (0):array ()[2] = length
end

-- Keeps the frames of samples 0 to length - 1 of the timeline while the transport rolls.
function dsp_run (ins, outs, n_samples)
  for c = 1, 2 do
    if ins[c] ~= outs[c] then ARDOUR.DSP.copy_vector (outs[c], ins[c], n_samples) end
  end
  if not Session:transport_rolling () then return end
  local start = Session:transport_sample ()
  local from, to = math.max (start, 0), math.min (start + n_samples, length)
  if to <= from then return end
  local shm = self:shmem ()
  for c = 1, 2 do
    ARDOUR.DSP.copy_vector (shm:to_float (2 + (c - 1) * length + from), ins[c]:offset (from - start), to - from)
  end
  local counts = shm:to_int (0):array ()
  counts[1] = counts[1] + to - from
end
