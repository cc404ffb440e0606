// The VST 2.4 side of the format hosts, on the project's VST 2.4 host library.
#include "tools/format_hosts/format_instance.h"

#include "tools/vst_host/plugin_host.h"

#include <cstring>
#include <map>
#include <mutex>

namespace formathost {

namespace {

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
            lastError = library.error();
            return;
        }
        plugin = std::make_unique<vsthost::PluginInstance>(library);
        if (!plugin->valid()) lastError = path + ": the entry point made no effect";
    }
    ~Vst2Instance() override { plugin.reset(); }

    bool usable() const { return plugin && plugin->valid(); }

    bool start(const StartOptions& options) override {
        vsthost::answerProcessLevel(options.offline ? kVstProcessLevelOffline
                                                    : kVstProcessLevelRealtime);
        plugin->start(static_cast<float>(options.sampleRate), options.maxBlock);
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
            std::vector<vsthost::MidiMessage> messages;
            while (nextMidi < midi.size() && (midi[nextMidi].frame < end || end == frames)) {
                const MidiEvent& e = midi[nextMidi++];
                messages.push_back({e.frame - position, e.status, e.data1, e.data2});
            }
            plugin->sendMidi(messages);
            float* outputs[2] = {left + position, right + position};
            float silence[1] = {0.0f};
            float* inputs[2] = {silence, silence};
            AEffect* fx = plugin->effect();
            fx->processReplacing(fx, inputs, outputs, end - position);
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

  private:
    const vsthost::PluginLibrary& library;
    std::unique_ptr<vsthost::PluginInstance> plugin;
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
