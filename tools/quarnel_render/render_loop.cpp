#include "tools/quarnel_render/render_loop.h"

namespace quarnel_render {

void renderPiece(Instrument& instrument, const RenderJob& job, AudioWriter& writer,
                 ProgressBar& progress, const std::atomic<bool>& stop) {
    static const std::vector<ScheduledMessage> kNoMessages;
    SliceCursor cursor(job.schedule ? *job.schedule : kNoMessages, job.totalFrames, job.blockSize);
    RenderSlice slice;
    std::vector<float> left;
    std::vector<float> right;
    std::vector<formathost::MidiEvent> events;
    static const std::vector<formathost::ParameterChange> kNoChanges;
    formathost::Instance& plugin = instrument.instance();
    // A host reports what failed in error(); a new report during the render stops it.
    const std::string reported = plugin.error();
    while (cursor.next(slice)) {
        if (stop.load(std::memory_order_relaxed)) throw RenderInterrupted();
        if (slice.program != kNoProgramChange && slice.program < job.programCount)
            instrument.selectProgram(slice.program);
        events.clear();
        for (const vsthost::MidiMessage& message : slice.events)
            events.push_back({message.deltaFrames, message.status, message.data1, message.data2});
        left.assign(static_cast<std::size_t>(slice.frames), 0.0f);
        right.assign(static_cast<std::size_t>(slice.frames), 0.0f);
        plugin.process(events, kNoChanges, slice.frames, left.data(), right.data());
        if (plugin.error() != reported)
            throw InstrumentError("rendering failed: " + plugin.error());
        writer.write(left.data(), right.data(), slice.frames);
        progress.update(cursor.position());
    }
}

} // namespace quarnel_render
