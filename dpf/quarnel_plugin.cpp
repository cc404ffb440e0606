// The instrument as the plug-in framework sees it: one thin translation from the framework's
// Plugin calls to the format-neutral Instrument, compiled once per format (LV2, VST3, CLAP and
// the JACK standalone) together with the framework's own wrapper for that format.
//
// Parameters are announced in their own units (percent, Hz), whole numbers, so hosts show the
// same numbers the VST 2.4 build displays and the framework saves them exactly. The state is
// two keys: "bank", the VST 2.4 bank chunk's bytes as base64, and "program", the current slot.
#include "dpf/quarnel_plugin.h"
#include "instrument/identity.h"
#include "instrument/instrument.h"
#include "instrument/state_text.h"
#include "patches/patch_bank.h"

#include <DistrhoPlugin.hpp>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

static_assert(std::string_view(DISTRHO_PLUGIN_URI) == identity::kLv2Uri);
static_assert(std::string_view(DISTRHO_PLUGIN_CLAP_ID) == identity::kClapId);
static_assert(std::string_view(DISTRHO_PLUGIN_NAME) == identity::kProduct);

START_NAMESPACE_DISTRHO

namespace {
/// The program list hosts show: the built-in sounds, slots 0 to 45.
constexpr std::uint32_t kListedPrograms = kBuiltInProgramCount;
constexpr std::uint32_t kStateCount = 2;
/// The MIDI messages the instrument takes: channel messages of at most three bytes.
constexpr std::uint32_t kMidiMessageBytes = 3;
constexpr std::uint8_t kMidiDataMax = 127;
/// Messages one run() queues at most: as many as the framework hands over in one call.
constexpr std::uint32_t kMaxQueuedMessages = 512;

/// Plug-in version for the formats' version fields: major, minor, micro.
constexpr std::uint32_t kVersion =
    d_version(QUARNEL_VERSION_MAJOR, QUARNEL_VERSION_MINOR, QUARNEL_VERSION_PATCH);
} // namespace

class QuarnelPlugin : public Plugin {
  public:
    QuarnelPlugin() : Plugin(kParameterCount, kListedPrograms, kStateCount) {
        instrument.setSampleRate(static_cast<float>(getSampleRate()));
        instrument.setBlockSize(static_cast<std::int32_t>(getBufferSize()));
    }

    /// The host's render mode (VST3 process mode, CLAP render extension).
    void setOfflineRender(bool offline) { instrument.setOffline(offline); }

  protected:
    const char* getLabel() const override { return identity::kProduct; }
    const char* getDescription() const override {
        return "Polyphonic phase-modulation wavetable synthesizer";
    }
    const char* getMaker() const override { return identity::kVendor; }
    const char* getLicense() const override { return "MIT"; }
    uint32_t getVersion() const override { return kVersion; }
    int64_t getUniqueId() const override { return identity::kUniqueId; }

    void initAudioPort(bool input, uint32_t index, AudioPort& port) override {
        port.groupId = kPortGroupStereo;
        Plugin::initAudioPort(input, index, port);
    }

    void initParameter(uint32_t index, Parameter& parameter) override {
        parameter.hints = kParameterIsAutomatable | kParameterIsInteger;
        parameter.name = identity::kParameterNames[index];
        parameter.symbol = identity::kParameterSymbols[index];
        parameter.unit = identity::kParameterUnits[index];
        parameter.ranges.min = kParameterRanges[index].minimum;
        parameter.ranges.max = kParameterRanges[index].maximum;
        parameter.ranges.def = instrument.plainParameter(index);
    }

    void initProgramName(uint32_t index, String& programName) override {
        char name[kProgramNameSize];
        instrument.programName(static_cast<std::int32_t>(index), name);
        programName = name;
    }

    void initState(uint32_t index, State& state) override {
        state.hints = kStateIsOnlyForDSP;
        if (index == 0) {
            state.key = statetext::kBankKey;
            state.hints |= kStateIsBase64Blob;
            state.defaultValue = bankText().c_str();
            state.label = "Bank";
            state.description = "The 64 program records, as the VST 2.4 bank chunk carries them";
        } else {
            state.key = statetext::kProgramKey;
            state.defaultValue = "0";
            state.label = "Program";
            state.description = "The current program slot, 0 to 63";
        }
    }

    float getParameterValue(uint32_t index) const override {
        return instrument.plainParameter(static_cast<int>(index));
    }

    void setParameterValue(uint32_t index, float value) override {
        const int parameter = static_cast<int>(index);
        // Hosts send every value back when they restore a project or a preset: a value the
        // parameter already has is no change.
        if (limitedPlainValue(parameter, value) == instrument.plainParameter(parameter)) return;
        instrument.setPlainParameter(parameter, value);
    }

    void loadProgram(uint32_t index) override {
        instrument.selectProgram(static_cast<std::int32_t>(index));
    }

    String getState(const char* key) const override {
        if (std::strcmp(key, statetext::kBankKey) == 0) return String(bankText().c_str());
        if (std::strcmp(key, statetext::kProgramKey) == 0)
            return String(instrument.currentProgram());
        return String();
    }

    void setState(const char* key, const char* value) override {
        if (std::strcmp(key, statetext::kBankKey) == 0) {
            std::vector<std::uint8_t> bytes;
            if (statetext::decodeBase64(value, bytes) && !bytes.empty())
                instrument.setChunk(bytes.data(), static_cast<std::int32_t>(bytes.size()), false);
        } else if (std::strcmp(key, statetext::kProgramKey) == 0) {
            const int program = statetext::parseProgram(value);
            if (program >= 0) instrument.selectProgram(program);
        }
    }

    void activate() override { instrument.resume(); }
    void deactivate() override { instrument.suspend(); }

    void run(const float**, float** outputs, uint32_t frames, const MidiEvent* midiEvents,
             uint32_t midiEventCount) override {
        // The framework's VST3 wrapper can hand over the controllers it made from parameter
        // points out of order among the notes: the messages are queued in frame order (a
        // stable insertion sort of their indices, nothing allocated).
        std::uint16_t order[kMaxQueuedMessages];
        uint32_t count = 0;
        for (uint32_t i = 0; i < midiEventCount && count < kMaxQueuedMessages; ++i) {
            const MidiEvent& event = midiEvents[i];
            if (event.size == 0 || event.size > kMidiMessageBytes) continue;
            uint32_t at = count++;
            while (at > 0 && midiEvents[order[at - 1]].frame > event.frame) {
                order[at] = order[at - 1];
                --at;
            }
            order[at] = static_cast<std::uint16_t>(i);
        }
        for (uint32_t k = 0; k < count; ++k) {
            const MidiEvent& event = midiEvents[order[k]];
            std::uint8_t data1 = event.size > 1 ? event.data[1] : 0;
            std::uint8_t data2 = event.size > 2 ? event.data[2] : 0;
            // The same wrapper turns a full upward bend into a second byte of 128: a data byte
            // above 127 is taken as the top of its range.
            if (data2 > kMidiDataMax) data1 = data2 = kMidiDataMax;
            if (data1 > kMidiDataMax) data1 = kMidiDataMax;
            instrument.queueMidi(static_cast<std::int32_t>(event.frame), event.data[0], data1,
                                 data2);
        }
        instrument.process(outputs, static_cast<std::int32_t>(frames));
    }

    void bufferSizeChanged(uint32_t frames) override {
        instrument.setBlockSize(static_cast<std::int32_t>(frames));
    }
    void sampleRateChanged(double rate) override {
        instrument.setSampleRate(static_cast<float>(rate));
    }

  public:
    Instrument& getInstrument() { return instrument; }

  private:
    /// The bank chunk as base64 text. Not on the audio thread.
    std::string bankText() const {
        void* data = nullptr;
        const std::int32_t size = instrument.getChunk(&data, false);
        return statetext::encodeBase64(data, size > 0 ? static_cast<std::size_t>(size) : 0);
    }

    /// getChunk hands out a copy and getState is const to the framework: the instrument is
    /// mutable so that saving can take the audio thread's changes into the bank first.
    mutable Instrument instrument;

    DISTRHO_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR(QuarnelPlugin)
};

/// The host's render mode, as the VST3 and CLAP wrappers learn it (dpf/CMakeLists.txt): an
/// offline render lets changes on the processing thread wait for the writers' lock and be exact
/// to their frame. plugin is the framework's Plugin object, one of ours.
void quarnelSetOfflineRender(void* plugin, bool offline) {
    if (plugin) static_cast<QuarnelPlugin*>(plugin)->setOfflineRender(offline);
}

Plugin* createPlugin() {
    // A construction that fails gives the framework no plug-in (every wrapper then answers as
    // an empty one): no exception may leave through the format's C entry points.
    try {
        return new QuarnelPlugin();
    } catch (...) {
        return nullptr;
    }
}

#if defined(DISTRHO_PLUGIN_TARGET_CLAP)
namespace {
/// Gesture steps the panels of this binary handed the wrapper and the host has not received.
std::atomic<int> panelStepsInFlight{0};
} // namespace

/// The CLAP wrapper's copy asks this before it tries the lock of its UI events in the process
/// call, and reports the events it sent (dpf/CMakeLists.txt).
bool quarnelPanelStepsPending() noexcept {
    return panelStepsInFlight.load(std::memory_order_acquire) > 0;
}

void quarnelPanelStepsSent(uint32_t count) noexcept {
    panelStepsInFlight.fetch_sub(static_cast<int>(count), std::memory_order_relaxed);
}
#endif

END_NAMESPACE_DISTRHO

void quarnelplugin::panelEventHanded() {
#if defined(DISTRHO_PLUGIN_TARGET_CLAP)
    DISTRHO_NAMESPACE::panelStepsInFlight.fetch_add(1, std::memory_order_release);
#endif
}

Instrument& quarnelplugin::instrumentOf(void* plugin) {
    return static_cast<DISTRHO_NAMESPACE::QuarnelPlugin*>(
               static_cast<DISTRHO_NAMESPACE::Plugin*>(plugin))
        ->getInstrument();
}
