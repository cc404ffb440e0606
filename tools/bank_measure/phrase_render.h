// A short phrase per program, written as audio files for listening and for the pictures in
// docs/programs.md: an arpeggio up an octave and the chord it spells, held and released.
#pragma once

#include "tools/bank_measure/plugin_player.h"

#include <string>

namespace bank_measure {

/// Length of the phrase with its release tail, seconds.
constexpr double kPhraseSeconds = 3.2;

/// Renders the phrase for program and writes it to path as a 32-bit float WAV file (extensible
/// format). Returns false (with a reason in error) when the file cannot be written.
bool writePhrase(const PluginPlayer& player, int program, const std::string& path,
                 std::string& error);

} // namespace bank_measure
