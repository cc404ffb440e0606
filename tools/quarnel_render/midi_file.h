// Reading a Standard MIDI File (through libsmf) into the channel messages the render tool plays.
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

/// Checks the structure libsmf relies on: an MThd chunk first with a header of at least 6
/// bytes, format 0..2, at least one track and a time division in ticks per quarter note (> 0);
/// then chunks of a four-letter type and a big-endian length, every one inside the file (types
/// other than MTrk are allowed and skipped); as many track chunks as declared; and in every
/// track chunk well-formed events (channel messages with running status, meta events with
/// valid tempos, 0xF0 system-exclusive events; no 0xF7 escapes) up to an End Of Track event.
/// Returns "" when the structure is sound, else what is wrong.
std::string checkStructure(const std::vector<unsigned char>& bytes);

/// A sound file (see checkStructure) reduced to its MThd header (6 bytes) and MTrk chunks, the
/// track count set to the MTrk chunks there are.
std::vector<unsigned char> tracksOnly(const std::vector<unsigned char>& bytes);

/// Reads path; throws MidiFileError for a missing, oversized, truncated or otherwise damaged
/// file.
MidiFileContents readMidiFile(const std::string& path);

} // namespace quarnel_render
