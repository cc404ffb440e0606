// Dropped notes of legato chord changes. The instrument has kVoiceCount voices and steals none:
// a note-on that finds every voice still busy with the release of an earlier note is lost.
//
// This is counted exactly rather than guessed from the sound: the core engine is linked in and
// set up the way the plug-in sets up its own (the bank records taken from the plug-in's bank
// chunk, so that whatever the loaded plug-in holds is what is played; the sample rate; the
// program applied), the chords are played into it with the same frame timing as through the
// plug-in, and each note-on is checked for a voice that took it.
#pragma once

#include <vector>

namespace bank_measure {

/// One chord change: the notes, and the frame where they start (and the previous chord's notes
/// end, note-offs first).
struct ChordChange {
    std::vector<int> notes; ///< MIDI notes
    long frame = 0;         ///< >= the previous change's frame
};

/// Plays the chord changes at velocity (1..127) with program (0..63) of bank (the plug-in's
/// bank chunk: whole program records, slot 0 first; records it lacks keep the built-in bank's)
/// at sampleRate (Hz), and returns the number of note-ons that found no free voice.
int droppedChordNotes(const std::vector<unsigned char>& bank, int program,
                      const std::vector<ChordChange>& changes, int velocity, double sampleRate);

} // namespace bank_measure
