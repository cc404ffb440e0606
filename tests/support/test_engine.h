// Engines for unit tests, set up the way the plug-in's construction does it but without the
// engine's own factory: the bank copied and stamped, slot 0 current, the three filters typed,
// then the tables built by a sample-rate change.
#pragma once

#include "engine/synth_engine.h"

#include <memory>

namespace testsupport {

/// Copies the 64 bank records into the engine, stamps them, makes slot 0 current and gives the
/// filters their types and Q: hpf high-pass Q 0.9, lpf low-pass Q 0.9, sendFilter band-pass
/// Q 0.3 (octaves) at 1500 Hz. Builds no tables.
void initialiseEngine(SynthEngine& engine);

/// A heap engine prepared by initialiseEngine and then changeSampleRate(sampleRate) (Hz).
std::unique_ptr<SynthEngine> makeTestEngine(float sampleRate = 44100.0f);

} // namespace testsupport
