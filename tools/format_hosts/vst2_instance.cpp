// The VST 2.4 side of the format hosts, on the project's VST 2.4 host library.
#include "tools/format_hosts/format_instance.h"

#include "tools/vst_host/plugin_host.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <map>
#include <mutex>

namespace formathost {

namespace {

/// MIDI events one part of a block carries without allocating; room kept from start().
constexpr std::size_t kEventRoom = 4096;

/// The library at path, loaded once for the process as a DAW keeps it (see clap_instance.cpp).
const vsthost::PluginLibrary& libraryAt(const std::string& path) {
    static std::mutex mutex;
    static auto& libraries = *new std::map<std::string, std::unique_ptr<vsthost::PluginLibrary>>;
    const std::lock_guard<std::mutex> lock(mutex);
    std::unique_ptr<vsthost::PluginLibrary>& library = libraries[path];
    if (!library || !library->loaded()) library = std::make_unique<vsthost::PluginLibrary>(path);
    return *library;
}

class Vst2Instance : public Instance {
  public:
    explicit Vst2Instance(const std::string& path) : library(libraryAt(path)) {
        if (!library.loaded()) {
            lastError = "cannot load plug-in " + path + ": " +
                        (library.error().empty() ? "not a VST 2.4 plug-in" : library.error());
            return;
        }
        plugin = std::make_unique<vsthost::PluginInstance>(library);
        if (!plugin->valid()) {
            lastError = "plug-in " + path +
                        " returned no effect from its entry point: not a usable VST 2.4 "
                        "instrument";
            return;
        }
        const AEffect& fx = *plugin->effect();
        if ((fx.flags & effFlagsIsSynth) == 0) {
            lastError = "plug-in " + path + " is not an instrument (it is an effect)";
        } else if ((fx.flags & effFlagsCanReplacing) == 0 || fx.processReplacing == nullptr) {
            lastError = "plug-in " + path + " does not support processReplacing";
        } else if (fx.numOutputs != 2 || fx.numInputs < 0 || fx.numInputs > 2) {
            lastError = "plug-in " + path + " has " + std::to_string(fx.numInputs) +
                        " inputs and " + std::to_string(fx.numOutputs) +
                        " outputs; only stereo instruments (2 outputs) can be rendered";
        }
        if (!lastError.empty()) {
            plugin.reset();
            return;
        }
        plugin->dispatch(effOpen);
    }
    ~Vst2Instance() override { plugin.reset(); }

    bool usable() const { return plugin && plugin->valid(); }

    bool start(const StartOptions& options) override {
        vsthost::answerProcessLevel(options.offline ? kVstProcessLevelOffline
                                                    : kVstProcessLevelRealtime);
        plugin->dispatch(effSetSampleRate, 0, 0, nullptr, static_cast<float>(options.sampleRate));
        plugin->dispatch(effSetBlockSize, 0, options.maxBlock);
        if (options.program >= 0) plugin->dispatch(effSetProgram, 0, options.program);
        plugin->dispatch(effMainsChanged, 0, 1);
        silence.assign(static_cast<std::size_t>(std::max(options.maxBlock, 1)), 0.0f);
        // The event list process() hands over: a VstEvents header and its pointers, and the
        // events they point at, so that a block allocates nothing.
        if (midiEvents.size() < kEventRoom) {
            midiEvents.assign(kEventRoom, VstMidiEvent{});
            eventList.assign(offsetof(VstEvents, events) + kEventRoom * sizeof(VstEvent*), 0);
        }
        return true;
    }
    void stop() override { plugin->dispatch(effMainsChanged, 0, 0); }

    int programCount() override { return plugin->effect()->numPrograms; }
    std::string programName(int program) override {
        return plugin->text(effGetProgramNameIndexed, program);
    }
    bool selectProgram(int program) override {
        plugin->dispatch(effSetProgram, 0, program);
        return plugin->dispatch(effGetProgram) == program;
    }

    int parameterCount() override { return plugin->effect()->numParams; }
    ParameterInfo parameterInfo(int index) override {
        ParameterInfo info;
        info.name = plugin->text(effGetParamName, index);
        info.unit = plugin->text(effGetParamLabel, index);
        info.automatable = plugin->dispatch(effCanBeAutomated, index) != 0;
        return info;
    }
    double parameter(int index) override { return plugin->getParameter(index); }
    std::string parameterDisplay(int index, double value) override {
        // VST 2.4 displays the current value only: set, read, put back.
        const float before = plugin->getParameter(index);
        plugin->setParameter(index, static_cast<float>(value));
        std::string text = plugin->text(effGetParamDisplay, index);
        plugin->setParameter(index, before);
        return text;
    }
    void setParameter(int index, double value) override {
        plugin->setParameter(index, static_cast<float>(value));
    }

    void process(const std::vector<MidiEvent>& midi, const std::vector<ParameterChange>& changes,
                 std::int32_t frames, float* left, float* right) override {
        // VST 2.4 takes parameter changes between process calls: the block is split at each
        // change's frame, the MIDI events of each part sent with their frames in it.
        std::size_t nextMidi = 0;
        std::size_t nextChange = 0;
        std::int32_t position = 0;
        while (position < frames || nextChange < changes.size()) {
            while (nextChange < changes.size() && changes[nextChange].frame <= position) {
                const ParameterChange& change = changes[nextChange++];
                plugin->setParameter(change.index, static_cast<float>(change.value));
            }
            std::int32_t end = frames;
            if (nextChange < changes.size() && changes[nextChange].frame < end)
                end = changes[nextChange].frame;
            if (end <= position && position >= frames) break;
            const std::size_t first = nextMidi;
            while (nextMidi < midi.size() && (midi[nextMidi].frame < end || end == frames))
                ++nextMidi;
            sendMidi(midi, first, nextMidi, position);
            float* outputs[2] = {left + position, right + position};
            const std::int32_t count = end - position;
            if (silence.size() < static_cast<std::size_t>(count))
                silence.assign(static_cast<std::size_t>(count), 0.0f);
            float* inputs[2] = {silence.data(), silence.data()};
            AEffect* fx = plugin->effect();
            timedProcess([&] { fx->processReplacing(fx, inputs, outputs, count); });
            position = end;
        }
    }

    std::vector<std::uint8_t> saveBank(int& program) override {
        void* data = nullptr;
        const VstIntPtr size = plugin->dispatch(effGetChunk, 0, 0, &data);
        program = static_cast<int>(plugin->dispatch(effGetProgram));
        if (size <= 0 || !data) return {};
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        return std::vector<std::uint8_t>(bytes, bytes + size);
    }
    bool loadBank(const std::vector<std::uint8_t>& bank, int program) override {
        std::vector<std::uint8_t> copy(bank);
        const VstIntPtr taken =
            plugin->dispatch(effSetChunk, 0, static_cast<VstIntPtr>(copy.size()), copy.data());
        plugin->dispatch(effSetProgram, 0, program);
        return taken == static_cast<VstIntPtr>(copy.size());
    }
    bool loadProgram(const std::vector<std::uint8_t>& record) override {
        std::vector<std::uint8_t> copy(record);
        const VstIntPtr taken =
            plugin->dispatch(effSetChunk, 1, static_cast<VstIntPtr>(copy.size()), copy.data());
        if (taken == 0) lastError = "the plug-in refused the program";
        return taken != 0;
    }
    std::int32_t presetId() override { return plugin->effect()->uniqueID; }

  private:
    /// Sends midi[first, last) with frames counted from position, in the list kept from start();
    /// a part with more events than that room takes the host library's allocating path.
    void sendMidi(const std::vector<MidiEvent>& midi, std::size_t first, std::size_t last,
                  std::int32_t position) {
        const std::size_t count = last - first;
        // An empty list is not sent: there is nothing to hand over.
        if (count == 0) return;
        if (count > midiEvents.size()) {
            std::vector<vsthost::MidiMessage> messages;
            for (std::size_t i = first; i < last; ++i)
                messages.push_back(
                    {midi[i].frame - position, midi[i].status, midi[i].data1, midi[i].data2});
            plugin->sendMidi(messages);
            return;
        }
        auto* list = reinterpret_cast<VstEvents*>(eventList.data());
        list->numEvents = static_cast<VstInt32>(count);
        list->reserved = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const MidiEvent& m = midi[first + i];
            VstMidiEvent& e = midiEvents[i];
            std::memset(&e, 0, sizeof e);
            e.type = kVstMidiType;
            e.byteSize = sizeof(VstMidiEvent);
            e.deltaFrames = m.frame - position;
            e.midiData[0] = static_cast<char>(m.status);
            e.midiData[1] = static_cast<char>(m.data1);
            e.midiData[2] = static_cast<char>(m.data2);
            list->events[i] = reinterpret_cast<VstEvent*>(&e);
        }
        plugin->dispatch(effProcessEvents, 0, 0, list);
    }

    const vsthost::PluginLibrary& library;
    std::unique_ptr<vsthost::PluginInstance> plugin;
    std::vector<VstMidiEvent> midiEvents;
    std::vector<unsigned char> eventList;
    /// Silent inputs for plug-ins that have them (at least one block long).
    std::vector<float> silence;
};

} // namespace

std::unique_ptr<Instance> openVst2Instance(const std::string& path, std::string& error) {
    auto instance = std::make_unique<Vst2Instance>(path);
    if (!instance->usable()) {
        error = instance->error();
        return nullptr;
    }
    return instance;
}

} // namespace formathost
