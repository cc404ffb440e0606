// Everything the renderer reads that a patch, a parameter or a sample rate derives, gathered in
// one record so that it can be built on one thread and handed to another whole.
//
// A writer changes a control engine (the one that holds the bank and runs applyPatch,
// changeSampleRate and the parameters), then copies its derived members into a new EngineSetup
// (captureSetup, which allocates). The audio thread installs that record into its own engine
// with adoptSetup: array members are exchanged by pointer, plain members copied, so the audio
// thread neither allocates nor frees; afterwards the record holds the arrays the audio engine
// gave up, and the writer side frees them. The running state of the audio engine (voices, the
// filters' histories, the delay lines' contents and positions, the glides) carries on.
#pragma once

#include "engine/synth_engine.h"
#include "patches/performance_parameters.h"

#include <cstdint>
#include <memory>

/// Fields of the current patch that controllers 20 and 21 change on the audio thread; each
/// post carries a stamp so that the later of two changes wins wherever it was made.
enum LivePatchField : int { LiveModulation = 0, LiveAttack = 1, kLivePatchFields = 2 };

struct EngineSetup {
    Patch patch{};            ///< the current program's record
    std::int32_t program = 0; ///< its slot, 0..63
    /// When each of the six parameters of patch was last set: a change the audio thread made
    /// itself later than that is kept when the record is installed.
    std::uint32_t parameterStamps[kParameterCount] = {};

    float sampleRate = 0;         ///< Hz, the rate the tables were built for
    float usPerSample = 0;        ///< voices' time base, microseconds per sample
    std::int32_t tableLength = 0; ///< entries of the carrier, modulator and LFO tables
    std::int32_t curveLength = 0; ///< entries of the curve table
    float noteIncrement[kNoteCount] = {};
    std::unique_ptr<float[]> carrierTable;
    std::unique_ptr<float[]> carrierSum; ///< tableLength samples (see SynthEngine)
    std::unique_ptr<float[]> modulatorTable;
    std::unique_ptr<float[]> lfoTable;
    std::unique_ptr<float[]> curveTable;

    Biquad hpf; ///< designs only; the audio engine keeps its histories
    Biquad lpf;
    Biquad sendFilter;

    /// Configuration of the ensemble; its line is present only when freshEnsembleLine is set
    /// (the patch application made a new, cleared line), otherwise the audio engine keeps its
    /// own line and contents.
    Ensemble ensemble;
    bool freshEnsembleLine = false;
    /// Configuration of the echo; likewise its line only when freshEchoLine is set.
    Echo echo;
    bool freshEchoLine = false;
};

/// Writer side: copies the derived members of source into setup, allocating its tables (and
/// cleared delay lines of source's lengths where fresh lines are asked for). Returns false when
/// memory could not be obtained; setup is then incomplete and must not be published.
bool captureSetup(const SynthEngine& source, std::int32_t program, EngineSetup& setup,
                  bool freshEnsembleLine, bool freshEchoLine);

/// Gives setup fresh, cleared delay lines of its own lengths where it has none but asks for
/// them (used when a record replaces an unadopted one that carried fresh lines).
bool provideFreshLines(EngineSetup& setup, bool ensembleLine, bool echoLine);

/// Audio side: installs setup into engine by exchanging arrays and copying values; allocates
/// and frees nothing. The current patch becomes engine.patches[setup.program]. Afterwards setup
/// holds the arrays engine gave up.
void adoptSetup(SynthEngine& engine, EngineSetup& setup);
