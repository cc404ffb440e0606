#include "tools/bank_measure/plugin_player.h"

#include <algorithm>
#include <cstring>

namespace bank_measure {

namespace {

/// MIDI status bytes of channel 1.
constexpr std::uint8_t kNoteOnStatus = 0x90;
constexpr std::uint8_t kNoteOffStatus = 0x80;
/// Audio outputs rendered (left, right).
constexpr int kStereoOutputs = 2;
/// Room given to the plug-in for one program name (the interface's nominal limit is 24).
constexpr std::size_t kProgramNameRoom = 256;
/// effGetChunk's index for the whole bank (1 asks for the current program only).
constexpr VstInt32 kBankChunkIndex = 0;

std::uint8_t dataByte(int value) {
    return static_cast<std::uint8_t>(std::clamp(value, 0, 127));
}

void startInstance(vsthost::PluginInstance& instance, const RenderSettings& settings) {
    instance.dispatch(effOpen);
    instance.dispatch(effSetSampleRate, 0, 0, nullptr, static_cast<float>(settings.sampleRate));
    instance.dispatch(effSetBlockSize, 0, settings.blockSize);
}

} // namespace

TimedMessage noteOn(std::int64_t frame, int note, int velocity) {
    return {frame, kNoteOnStatus, dataByte(note), dataByte(velocity)};
}

TimedMessage noteOff(std::int64_t frame, int note) {
    return {frame, kNoteOffStatus, dataByte(note), 0};
}

PluginPlayer::PluginPlayer(const std::string& pluginPath, const RenderSettings& settings)
    : library(pluginPath), path(pluginPath), renderSettings(settings) {
    if (!library.loaded())
        throw PlayerError("cannot load plug-in " + path + ": " + library.error());
    vsthost::PluginInstance instance(library);
    if (!instance.valid())
        throw PlayerError("plug-in " + path + " returned no effect from its entry point");
    const AEffect& fx = *instance.effect();
    if ((fx.flags & effFlagsIsSynth) == 0)
        throw PlayerError("plug-in " + path + " is not an instrument");
    if ((fx.flags & effFlagsCanReplacing) == 0 || fx.processReplacing == nullptr)
        throw PlayerError("plug-in " + path + " does not support processReplacing");
    if (fx.numOutputs != kStereoOutputs)
        throw PlayerError("plug-in " + path + " does not have two outputs");
    startInstance(instance, renderSettings);
    for (int i = 0; i < std::max(fx.numPrograms, 0); ++i)
        names.push_back(instance.text(effGetProgramNameIndexed, i, kProgramNameRoom));
    if (fx.flags & effFlagsProgramChunks) {
        void* data = nullptr;
        const VstIntPtr size = instance.dispatch(effGetChunk, kBankChunkIndex, 0, &data);
        if (data && size > 0) {
            const auto* bytes = static_cast<const unsigned char*>(data);
            chunk.assign(bytes, bytes + size);
        }
    }
}

StereoSignal PluginPlayer::render(int program, const std::vector<TimedMessage>& messages,
                                  std::int64_t frames) const {
    vsthost::PluginInstance instance(library);
    if (!instance.valid())
        throw PlayerError("plug-in " + path + " returned no effect from its entry point");
    startInstance(instance, renderSettings);
    instance.dispatch(effSetProgram, 0, program);
    instance.dispatch(effMainsChanged, 0, 1);

    StereoSignal signal;
    signal.sampleRate = renderSettings.sampleRate;
    signal.left.reserve(static_cast<std::size_t>(frames));
    signal.right.reserve(static_cast<std::size_t>(frames));
    std::vector<float> left;
    std::vector<float> right;
    std::vector<vsthost::MidiMessage> block;
    std::size_t next = 0;
    for (std::int64_t position = 0; position < frames; position += renderSettings.blockSize) {
        const auto length = static_cast<std::int32_t>(
            std::min<std::int64_t>(renderSettings.blockSize, frames - position));
        block.clear();
        while (next < messages.size() && messages[next].frame < position + length) {
            const TimedMessage& m = messages[next++];
            const auto offset =
                static_cast<std::int32_t>(std::max<std::int64_t>(m.frame - position, 0));
            block.push_back({offset, m.status, m.data1, m.data2});
        }
        if (!block.empty()) instance.sendMidi(block);
        instance.render(length, left, right);
        signal.left.insert(signal.left.end(), left.begin(), left.end());
        signal.right.insert(signal.right.end(), right.begin(), right.end());
    }
    return signal;
}

} // namespace bank_measure
