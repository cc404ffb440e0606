// The render tool's timeline: MIDI channel messages at times in seconds become messages at frame
// positions, and the piece is cut into the slices handed to the plug-in, one processReplacing
// call each, with the events that fall inside and the program to select before it.
#pragma once

#include "tools/vst_host/plugin_host.h"

#include <cstdint>
#include <vector>

namespace quarnel_render {

/// One MIDI channel message: status 0x80..0xEF (type in the high nibble, channel in the low),
/// data bytes 0..127. data2 is 0 for the one-data-byte types 0xC0 and 0xD0.
struct ChannelMessage {
    std::uint8_t status = 0;
    std::uint8_t data1 = 0;
    std::uint8_t data2 = 0;
};

/// A channel message at a time in seconds from the start of the piece (>= 0).
struct TimedMessage {
    double seconds = 0.0;
    ChannelMessage message;
};

/// A channel message at a frame position from the start of the piece (>= 0).
struct ScheduledMessage {
    std::int64_t frame = 0;
    ChannelMessage message;
};

/// Lowest and highest status byte of a channel message.
constexpr std::uint8_t kFirstChannelStatus = 0x80;
constexpr std::uint8_t kLastChannelStatus = 0xEF;
/// Message types (status with the channel bits cleared) that carry one data byte only.
constexpr std::uint8_t kProgramChangeType = 0xC0;
constexpr std::uint8_t kChannelPressureType = 0xD0;

/// True for status bytes 0x80..0xEF.
constexpr bool isChannelStatus(std::uint8_t status) {
    return status >= kFirstChannelStatus && status <= kLastChannelStatus;
}
/// Number of data bytes (1 or 2) that follow a channel status byte.
constexpr int dataByteCount(std::uint8_t status) {
    const std::uint8_t type = status & 0xF0;
    return (type == kProgramChangeType || type == kChannelPressureType) ? 1 : 2;
}
constexpr bool isProgramChange(const ChannelMessage& message) {
    return (message.status & 0xF0) == kProgramChangeType;
}

/// Converts times to frames at sampleRate (Hz, > 0): frame = seconds x rate rounded to the
/// nearest frame, negative times clamped to 0. The result is sorted by frame; messages on the
/// same frame keep their order in the input.
std::vector<ScheduledMessage> scheduleMessages(const std::vector<TimedMessage>& messages,
                                               double sampleRate);

/// One processReplacing call and what the host does just before it.
struct RenderSlice {
    /// First frame of the slice, counted from the start of the piece.
    std::int64_t startFrame = 0;
    /// Length in frames, 1..block size.
    std::int32_t frames = 0;
    /// Program (MIDI program-change number 0..127) to select with effSetProgram before the
    /// slice, or kNoProgramChange.
    std::int32_t program = -1;
    /// The slice's MIDI events in effProcessEvents order: offsets 0..frames-1, ascending.
    std::vector<vsthost::MidiMessage> events;
};

constexpr std::int32_t kNoProgramChange = -1;

/// Walks a schedule in slices. The slices follow a grid of blockSize frames from frame 0; a
/// program change that falls inside a grid block ends the slice just before it, so the new
/// program starts exactly on its frame (the program-change message itself is still delivered,
/// at offset 0 of the following slice). A message on a block boundary belongs to the block
/// that starts there. Messages at totalFrames or later are never delivered.
class SliceCursor {
  public:
    /// messages must be sorted by frame (as scheduleMessages returns them) and outlive the
    /// cursor; totalFrames >= 0; blockSize >= 1.
    SliceCursor(const std::vector<ScheduledMessage>& messages, std::int64_t totalFrames,
                std::int32_t blockSize);

    /// Fills slice with the next slice (reusing its event storage); false once totalFrames
    /// frames have been covered.
    bool next(RenderSlice& slice);

    /// Frames covered by the slices returned so far.
    std::int64_t position() const { return pos; }

  private:
    const std::vector<ScheduledMessage>& schedule;
    std::int64_t total = 0;
    std::int32_t block = 1;
    std::int64_t pos = 0;
    std::size_t nextMessage = 0;
};

} // namespace quarnel_render
