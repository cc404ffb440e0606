#include "engine/engine_setup.h"

#include <cstring>
#include <new>
#include <utility>

namespace {

/// A copy of count floats of source, or null when there is nothing to copy or no memory.
std::unique_ptr<float[]> copyOf(const float* source, std::int32_t count) {
    if (!source || count <= 0) return nullptr;
    std::unique_ptr<float[]> copy(new (std::nothrow) float[static_cast<std::size_t>(count)]);
    if (copy) std::memcpy(copy.get(), source, static_cast<std::size_t>(count) * sizeof(float));
    return copy;
}

/// A cleared line of count floats (null for none).
std::unique_ptr<float[]> clearedLine(std::int32_t count) {
    if (count <= 0) return nullptr;
    return std::unique_ptr<float[]>(new (std::nothrow) float[static_cast<std::size_t>(count)]());
}

/// Copies a filter's design and settings but keeps the history of the one it replaces.
void copyDesign(Biquad& to, const Biquad& from) {
    float history[8];
    std::memcpy(history, to.state, sizeof history);
    to = from;
    std::memcpy(to.state, history, sizeof history);
}

void copyEnsembleSettings(Ensemble& to, const Ensemble& from) {
    to.lineRate = from.lineRate;
    to.phaseScale = from.phaseScale;
    to.lfoStep = from.lfoStep;
    to.maxDelay = from.maxDelay;
    to.minDelay = from.minDelay;
    std::memcpy(to.taps, from.taps, sizeof to.taps);
    to.rate = from.rate;
    to.base = from.base;
    to.depth = from.depth;
    to.mix = from.mix;
}

} // namespace

bool provideFreshLines(EngineSetup& setup, bool ensembleLine, bool echoLine) {
    if (ensembleLine && !setup.freshEnsembleLine) {
        setup.ensemble.line = clearedLine(setup.ensemble.lineLength);
        if (setup.ensemble.lineLength > 0 && !setup.ensemble.line) return false;
        setup.freshEnsembleLine = true;
    }
    if (echoLine && !setup.freshEchoLine) {
        setup.echo.line = clearedLine(setup.echo.length);
        if (setup.echo.length > 0 && !setup.echo.line) return false;
        setup.freshEchoLine = true;
    }
    return true;
}

bool captureSetup(const SynthEngine& source, std::int32_t program, EngineSetup& setup,
                  bool freshEnsembleLine, bool freshEchoLine) {
    setup.patch = source.patch ? *source.patch : source.patches[0];
    setup.program = program >= 0 && program < kPatchCount ? program : 0;

    setup.sampleRate = source.sampleRate;
    setup.usPerSample = source.voices[0].usPerSample;
    setup.tableLength = source.tableLength;
    setup.curveLength = source.curveLength;
    std::memcpy(setup.noteIncrement, source.noteIncrement, sizeof setup.noteIncrement);
    // The one-cycle tables with the entry after the cycle (see SynthEngine).
    const std::int32_t cycle = source.tableLength > 0 ? source.tableLength + 1 : 0;
    setup.carrierTable = copyOf(source.carrierTable.get(), cycle);
    setup.carrierSum = copyOf(source.carrierSum.get(), source.tableLength);
    setup.modulatorTable = copyOf(source.modulatorTable.get(), cycle);
    setup.lfoTable = copyOf(source.lfoTable.get(), cycle);
    setup.curveTable = copyOf(source.curveTable.get(), source.curveLength);
    if (setup.tableLength > 0 && (!setup.carrierTable || !setup.modulatorTable || !setup.lfoTable ||
                                  (source.carrierSum && !setup.carrierSum)))
        return false;
    if (setup.curveLength > 0 && !setup.curveTable) return false;

    setup.hpf = source.hpf;
    setup.lpf = source.lpf;
    setup.sendFilter = source.sendFilter;

    copyEnsembleSettings(setup.ensemble, source.ensemble);
    setup.ensemble.lineLength = source.ensemble.lineLength;
    setup.echo.length = source.echo.length;
    setup.echo.inverseLength = source.echo.inverseLength;
    setup.echo.mix = source.echo.mix;
    setup.freshEnsembleLine = false;
    setup.freshEchoLine = false;
    return provideFreshLines(setup, freshEnsembleLine, freshEchoLine);
}

void adoptSetup(SynthEngine& engine, EngineSetup& setup) {
    const std::int32_t program =
        setup.program >= 0 && setup.program < kPatchCount ? setup.program : 0;
    engine.patches[program] = setup.patch;
    engine.patch = &engine.patches[program];

    engine.sampleRate = setup.sampleRate;
    for (Voice& voice : engine.voices)
        voice.usPerSample = setup.usPerSample;
    std::swap(engine.tableLength, setup.tableLength);
    std::swap(engine.curveLength, setup.curveLength);
    std::memcpy(engine.noteIncrement, setup.noteIncrement, sizeof engine.noteIncrement);
    engine.carrierTable.swap(setup.carrierTable);
    engine.carrierSum.swap(setup.carrierSum);
    engine.modulatorTable.swap(setup.modulatorTable);
    engine.lfoTable.swap(setup.lfoTable);
    engine.curveTable.swap(setup.curveTable);

    copyDesign(engine.hpf, setup.hpf);
    copyDesign(engine.lpf, setup.lpf);
    copyDesign(engine.sendFilter, setup.sendFilter);

    Ensemble& ensemble = engine.ensemble;
    if (setup.freshEnsembleLine) {
        ensemble.line.swap(setup.ensemble.line);
        std::swap(ensemble.lineLength, setup.ensemble.lineLength);
    }
    // The unit guards itself against a ring longer than its line, so settings made for a line
    // this engine does not have leave it passing the signal through.
    copyEnsembleSettings(ensemble, setup.ensemble);
    if (ensemble.position >= ensemble.maxDelay || ensemble.position < 0) ensemble.position = 0;

    Echo& echo = engine.echo;
    if (setup.freshEchoLine) {
        echo.line.swap(setup.echo.line);
        echo.position = 0;
        echo.accumulator = 0.0f;
        echo.length = setup.echo.length;
        echo.inverseLength = setup.echo.inverseLength;
    } else if (setup.echo.length == 0 || setup.echo.length == echo.length) {
        // Off, or the same line as before: the line and its contents stay.
        if (setup.echo.length == 0) echo.length = 0;
        echo.inverseLength = setup.echo.inverseLength;
    } else {
        // A length this engine's line was not made for: the unit stays off rather than read
        // beyond its line.
        echo.length = 0;
        echo.inverseLength = 0.0f;
    }
    echo.mix = setup.echo.mix;
}
