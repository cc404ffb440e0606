#include "tools/quarnel_render/instrument.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace quarnel_render {

namespace {

/// Room given to the plug-in for one program name (the interface's nominal limit is 24).
constexpr std::size_t kProgramNameRoom = 256;

} // namespace

Instrument::Instrument(const std::string& path) {
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (!std::filesystem::exists(status))
        throw InstrumentError("plug-in " + path + " does not exist");
    if (std::filesystem::is_directory(status))
        throw InstrumentError("plug-in " + path + " is a directory, not a library");

    library = std::make_unique<vsthost::PluginLibrary>(path);
    if (!library->loaded()) {
        throw InstrumentError(
            "cannot load plug-in " + path + ": " +
            (library->error().empty() ? "not a VST 2.4 plug-in" : library->error()));
    }
    plugin = std::make_unique<vsthost::PluginInstance>(*library);
    if (!plugin->valid()) {
        throw InstrumentError("plug-in " + path +
                              " returned no effect from its entry point: not a usable VST 2.4 "
                              "instrument");
    }
    const AEffect& fx = *plugin->effect();
    if ((fx.flags & effFlagsIsSynth) == 0)
        throw InstrumentError("plug-in " + path + " is not an instrument (it is an effect)");
    if ((fx.flags & effFlagsCanReplacing) == 0 || fx.processReplacing == nullptr)
        throw InstrumentError("plug-in " + path + " does not support processReplacing");
    if (fx.numOutputs != kStereoChannels || fx.numInputs < 0 || fx.numInputs > kStereoChannels) {
        throw InstrumentError("plug-in " + path + " has " + std::to_string(fx.numInputs) +
                              " inputs and " + std::to_string(fx.numOutputs) +
                              " outputs; only stereo instruments (2 outputs) can be rendered");
    }
    plugin->dispatch(effOpen);
}

Instrument::~Instrument() {
    plugin.reset(); // effMainsChanged 0, effClose
    library.reset();
}

int Instrument::programCount() const {
    return std::clamp(plugin->effect()->numPrograms, 0, kMaxProgramCount);
}

std::vector<std::string> Instrument::programNames() {
    std::vector<std::string> names;
    const int count = programCount();
    names.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i)
        names.push_back(plugin->text(effGetProgramNameIndexed, i, kProgramNameRoom));
    return names;
}

void Instrument::start(double sampleRate, int blockSize, int program) {
    prepare(sampleRate, blockSize, program);
    resume();
}

void Instrument::prepare(double sampleRate, int blockSize, int program) {
    plugin->dispatch(effSetSampleRate, 0, 0, nullptr, static_cast<float>(sampleRate));
    plugin->dispatch(effSetBlockSize, 0, blockSize);
    if (program >= 0) selectProgram(program);
}

void Instrument::resume() {
    plugin->dispatch(effMainsChanged, 0, 1);
}

void Instrument::selectProgram(int program) {
    plugin->dispatch(effSetProgram, 0, program);
}

} // namespace quarnel_render
