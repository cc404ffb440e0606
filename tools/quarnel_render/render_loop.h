// The render loop: slice by slice, the program changes, the MIDI events and one process call
// of the plug-in's format, with the audio handed to the writer.
#pragma once

#include "tools/quarnel_render/audio_writer.h"
#include "tools/quarnel_render/instrument.h"
#include "tools/quarnel_render/midi_schedule.h"
#include "tools/quarnel_render/progress.h"

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace quarnel_render {

/// Thrown when the stop flag was raised during a render.
class RenderInterrupted : public std::runtime_error {
  public:
    RenderInterrupted() : std::runtime_error("interrupted") {}
};

struct RenderJob {
    /// Messages sorted by frame (scheduleMessages).
    const std::vector<ScheduledMessage>* schedule = nullptr;
    /// Length of the render in frames (>= 0).
    std::int64_t totalFrames = 0;
    /// Frames per process call at most (>= 1).
    std::int32_t blockSize = 512;
    /// Program changes to numbers at or above this are not passed on as program selections.
    int programCount = 0;
};

/// Renders job through a started instrument into writer. Checks stop between slices and
/// throws RenderInterrupted when it is set.
void renderPiece(Instrument& instrument, const RenderJob& job, AudioWriter& writer,
                 ProgressBar& progress, const std::atomic<bool>& stop);

} // namespace quarnel_render
