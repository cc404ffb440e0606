#include "tools/quarnel_render/midi_schedule.h"

#include <algorithm>
#include <cmath>

namespace quarnel_render {

std::vector<ScheduledMessage> scheduleMessages(const std::vector<TimedMessage>& messages,
                                               double sampleRate) {
    std::vector<ScheduledMessage> scheduled;
    scheduled.reserve(messages.size());
    for (const TimedMessage& timed : messages) {
        const double position = timed.seconds * sampleRate;
        // NaN and negative times start the piece; the comparison is false for NaN.
        const std::int64_t frame = position > 0.0 ? std::llround(position) : 0;
        scheduled.push_back({frame, timed.message});
    }
    std::stable_sort(
        scheduled.begin(), scheduled.end(),
        [](const ScheduledMessage& a, const ScheduledMessage& b) { return a.frame < b.frame; });
    return scheduled;
}

SliceCursor::SliceCursor(const std::vector<ScheduledMessage>& messages, std::int64_t totalFrames,
                         std::int32_t blockSize)
    : schedule(messages), total(std::max<std::int64_t>(totalFrames, 0)),
      block(std::max<std::int32_t>(blockSize, 1)) {}

bool SliceCursor::next(RenderSlice& slice) {
    if (pos >= total) return false;
    const std::int64_t gridEnd = std::min((pos / block + 1) * block, total);

    // A program change later in this grid block ends the slice there.
    std::int64_t end = gridEnd;
    for (std::size_t i = nextMessage; i < schedule.size() && schedule[i].frame < gridEnd; ++i) {
        if (schedule[i].frame > pos && isProgramChange(schedule[i].message)) {
            end = schedule[i].frame;
            break;
        }
    }

    slice.startFrame = pos;
    slice.frames = static_cast<std::int32_t>(end - pos);
    slice.program = kNoProgramChange;
    slice.events.clear();
    while (nextMessage < schedule.size() && schedule[nextMessage].frame < end) {
        const ScheduledMessage& scheduled = schedule[nextMessage++];
        const ChannelMessage& m = scheduled.message;
        // Only a program change exactly at the slice start can be inside it (see above); the
        // last one on that frame wins.
        if (isProgramChange(m)) slice.program = m.data1;
        const auto offset =
            static_cast<std::int32_t>(std::max<std::int64_t>(scheduled.frame - pos, 0));
        slice.events.push_back({offset, m.status, m.data1, m.data2});
    }
    pos = end;
    return true;
}

} // namespace quarnel_render
