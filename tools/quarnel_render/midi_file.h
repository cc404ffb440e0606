// Reading a Standard MIDI File into the channel messages the render tool plays.
#pragma once

#include "tools/quarnel_render/midi_schedule.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace quarnel_render {

/// The playable content of a MIDI file.
struct MidiFileContents {
    /// Channel messages of all tracks merged in time order, times in seconds following the
    /// file's tempo map. Meta events, system-exclusive and other system messages are left out.
    std::vector<TimedMessage> messages;
    /// Number of tracks in the file (>= 1).
    int trackCount = 0;
};

/// A MIDI file that is missing or cannot be parsed; what() says which and why.
class MidiFileError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

/// Largest MIDI file read (bytes); real files are a few hundred kilobytes at most.
constexpr std::size_t kMaxMidiFileBytes = 64u << 20;

/// Checks the structure the reader relies on: an MThd chunk first with a header of at least 6
/// bytes, format 0..2, at least one track and a time division in ticks per quarter note (> 0);
/// then chunks of a four-letter type and a big-endian length, every one inside the file (types
/// other than MTrk are allowed and skipped); as many track chunks as declared; and in every
/// track chunk well-formed events (channel messages with running status, meta events with
/// valid tempos and time signatures, 0xF0 system-exclusive events; no 0xF7 escapes) up to an
/// End Of Track event. Returns "" when the structure is sound, else what is wrong.
std::string checkStructure(const std::vector<unsigned char>& bytes);

/// Reads path; throws MidiFileError for a missing, oversized, truncated or otherwise damaged
/// file, and for one of format 2, whose tracks do not share one timeline. What follows a
/// track's End Of Track event is ignored. Every Set Tempo and Time Signature event, in any
/// track, starts a stretch of the tempo map, and a time is that of its stretch's start plus
/// its ticks since then at the stretch's tempo. The tracks are merged by one sort of all their
/// messages: the time taken grows with the file's size, not with its tracks times its events.
MidiFileContents readMidiFile(const std::string& path);

} // namespace quarnel_render
