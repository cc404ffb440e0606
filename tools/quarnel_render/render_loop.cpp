#include "tools/quarnel_render/render_loop.h"

namespace quarnel_render {

void renderPiece(Instrument& instrument, const RenderJob& job, AudioWriter& writer,
                 ProgressBar& progress, const std::atomic<bool>& stop) {
    static const std::vector<ScheduledMessage> kNoMessages;
    SliceCursor cursor(job.schedule ? *job.schedule : kNoMessages, job.totalFrames, job.blockSize);
    RenderSlice slice;
    std::vector<float> left;
    std::vector<float> right;
    vsthost::PluginInstance& plugin = instrument.instance();
    while (cursor.next(slice)) {
        if (stop.load(std::memory_order_relaxed)) throw RenderInterrupted();
        if (slice.program != kNoProgramChange && slice.program < job.programCount)
            instrument.selectProgram(slice.program);
        // An empty list is not sent: there is nothing to hand over.
        if (!slice.events.empty()) plugin.sendMidi(slice.events);
        plugin.render(slice.frames, left, right);
        writer.write(left.data(), right.data(), slice.frames);
        progress.update(cursor.position());
    }
}

} // namespace quarnel_render
