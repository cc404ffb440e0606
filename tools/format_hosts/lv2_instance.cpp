// The LV2 host: a lilv world of its own that loads only the given bundle (plus the vocabularies
// and plug-in classes lilv already knows of), and the one plug-in the bundle describes,
// instantiated with what a DAW gives: URID map and unmap, options (block lengths in frames,
// sequence size in bytes, sample rate in Hz), bounded block length and a worker schedule.
// Order: instantiate, connect every port, activate, run blocks, deactivate, free.
//
// Ports: every port is connected. The first two audio outputs are left and right (a single one
// plays on both sides); the first atom input that takes midi:MidiEvent carries each run's MIDI as
// an atom sequence with event times in frames; the six instrument parameters are the control
// inputs named "Window", "Modulation", "Atack", "Sustain", "HPF", "LPF", in that order. Every
// other port (control outputs, atom outputs, further audio or CV ports) gets a buffer of its own
// that the host ignores. A control port holds the plain value in the plug-in's own units, inside
// the port's lv2:minimum..lv2:maximum.
//
// LV2 control ports are block-rate: the plug-in reads them once, at the start of run(), so a
// value set in the middle of a block would only count from the next run. So that a parameter
// change lands at its frame, the way the other formats deliver it, process() splits the run at
// each change frame: it runs the frames up to the change, sets the port and runs on. (The DPF
// wrapper takes at most 512 MIDI events a run and drops the rest.)
//
// Programs are the bundle's presets (pset:Preset resources that apply to the plug-in), ordered by
// the number their URI ends in ("...#preset001" is program 0, the DPF wrapper's numbering);
// selecting one restores the preset's state with lilv, port values included. The instrument's
// presets hold its "program" state and the six control values. Presets from the framework's own
// generator hold the whole state instead, bank included, so selecting one also puts back the bank
// they were written from; that generator also picks each key's prefix (below) by the program's
// number instead of the state's, so a host-readable state is written under "urn:distrho:" from
// the third preset on, where the plug-in never reads it back, and selectProgram() then reports
// the program the plug-in kept.
//
// The bank travels in the plug-in's state. DPF stores each state key as an atom:String (the text
// and its NUL) under "urn:distrho:KEY", or under "PLUGIN-URI#KEY" for a host-readable state. The
// instrument's keys are "bank" (the 64 program records, base64) and "program" (the current slot,
// decimal). saveBank() and loadBank() call the plug-in's LV2_State_Interface with the host's own
// store and retrieve functions.
//
// Everything happens on the calling thread: work the plug-in schedules is done right after the
// call that scheduled it returns (after each run(), before the next one).
#include "tools/format_hosts/lv2_instance.h"

#include "instrument/state_text.h"

#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/atom/util.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/core/lv2.h>
#include <lv2/data-access/data-access.h>
#include <lv2/instance-access/instance-access.h>
#include <lv2/midi/midi.h>
#include <lv2/options/options.h>
#include <lv2/parameters/parameters.h>
#include <lv2/port-props/port-props.h>
#include <lv2/presets/presets.h>
#include <lv2/resize-port/resize-port.h>
#include <lv2/state/state.h>
#include <lv2/ui/ui.h>
#include <lv2/units/units.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <unordered_map>
#include <utility>

#include <dlfcn.h>
#include <sys/stat.h>

namespace formathost {
namespace {

// ---- URIs that are not among the LV2 headers ---------------------------------------------------

/// The prefix DPF gives the property URIs of the states a host may not read.
constexpr const char kDpfStatePrefix[] = "urn:distrho:";
/// The port property DPF gives a parameter that is not automatable.
constexpr const char kNonAutomatable[] = "http://kxstudio.sf.net/ns/lv2ext/props#NonAutomatable";
constexpr std::array<const char*, 6> kParameterNames = {"Window",  "Modulation", "Atack",
                                                        "Sustain", "HPF",        "LPF"};

/// Room of each atom port buffer in bytes (at least what the port asks for with rsz:minimumSize):
/// about 10000 MIDI events of 24 bytes, or a state message of the whole bank.
constexpr std::uint32_t kSequenceBytes = 256 * 1024;
/// Room for the work requests (and for the responses) of one run, in bytes.
constexpr std::size_t kWorkBytes = 64 * 1024;

/// lv2:symbol values of the units this host knows when the world does not describe them.
const char* knownUnitSymbol(const std::string& uri) {
    static const std::pair<const char*, const char*> units[] = {
        {"s", "s"},        {"ms", "ms"},
        {"min", "min"},    {"bar", "bars"},
        {"beat", "beats"}, {"frame", "frames"},
        {"m", "m"},        {"cm", "cm"},
        {"mm", "mm"},      {"km", "km"},
        {"inch", "in"},    {"mile", "mi"},
        {"db", "dB"},      {"pc", "%"},
        {"coef", ""},      {"hz", "Hz"},
        {"khz", "kHz"},    {"mhz", "MHz"},
        {"bpm", "BPM"},    {"oct", "oct"},
        {"cent", "ct"},    {"semitone12TET", "semi"},
        {"degree", "deg"}, {"midiNote", "note"}};
    const std::string prefix = LV2_UNITS_PREFIX;
    if (uri.compare(0, prefix.size(), prefix) != 0) return "";
    const std::string name = uri.substr(prefix.size());
    for (const auto& [unit, symbol] : units)
        if (name == unit) return symbol;
    return "";
}

// ---- base64, standard alphabet with '=' padding ----------------------------------------------

/// A decimal integer filling the whole of text; false otherwise.
bool parseInt(const std::string& text, int& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    const long parsed = std::strtol(text.c_str(), &end, 10);
    if (*end != '\0' || parsed < -1000000 || parsed > 1000000) return false;
    value = int(parsed);
    return true;
}

/// Bytes of a MIDI message with this status byte (1..3).
std::uint32_t midiLength(std::uint8_t status) {
    if (status < 0xf0) return (status & 0xe0) == 0xc0 ? 2 : 3; // program change, pressure: 2
    if (status == 0xf1 || status == 0xf3) return 2;
    if (status == 0xf2) return 3;
    return 1;
}

// ---- URID map ----------------------------------------------------------------------------------

class UridMap {
  public:
    UridMap() {
        mapFeature.handle = this;
        mapFeature.map = mapUri;
        unmapFeature.handle = this;
        unmapFeature.unmap = unmapUri;
    }
    UridMap(const UridMap&) = delete;
    UridMap& operator=(const UridMap&) = delete;

    /// 0 for a null URI or when out of memory.
    LV2_URID map(const char* uri) noexcept {
        if (uri == nullptr) return 0;
        try {
            const auto known = ids.find(uri);
            if (known != ids.end()) return known->second;
            uris.emplace_back(uri);
            const LV2_URID id = LV2_URID(uris.size());
            ids.emplace(uris.back(), id);
            return id;
        } catch (...) {
            return 0;
        }
    }
    const char* unmap(LV2_URID id) const noexcept {
        return id >= 1 && id <= uris.size() ? uris[id - 1].c_str() : nullptr;
    }

    LV2_URID_Map mapFeature{};
    LV2_URID_Unmap unmapFeature{};

  private:
    static LV2_URID mapUri(LV2_URID_Map_Handle handle, const char* uri) {
        return static_cast<UridMap*>(handle)->map(uri);
    }
    static const char* unmapUri(LV2_URID_Unmap_Handle handle, LV2_URID id) {
        return static_cast<UridMap*>(handle)->unmap(id);
    }

    std::unordered_map<std::string, LV2_URID> ids;
    std::deque<std::string> uris; ///< id - 1 -> URI; a deque keeps the texts where they are
};

// ---- saved state -------------------------------------------------------------------------------

struct StateProperty {
    LV2_URID key = 0;
    LV2_URID type = 0;
    std::uint32_t flags = 0;
    std::vector<std::uint8_t> value;
};
using StateProperties = std::vector<StateProperty>;

LV2_State_Status storeProperty(LV2_State_Handle handle, std::uint32_t key, const void* value,
                               std::size_t size, std::uint32_t type, std::uint32_t flags) {
    StateProperties& properties = *static_cast<StateProperties*>(handle);
    if (key == 0 || (value == nullptr && size > 0)) return LV2_STATE_ERR_UNKNOWN;
    try {
        auto slot = std::find_if(properties.begin(), properties.end(),
                                 [key](const StateProperty& p) { return p.key == key; });
        if (slot == properties.end()) slot = properties.insert(properties.end(), StateProperty{});
        const std::uint8_t* bytes = static_cast<const std::uint8_t*>(value);
        slot->key = key;
        slot->type = type;
        slot->flags = flags;
        slot->value.assign(bytes, bytes + size);
    } catch (...) {
        return LV2_STATE_ERR_NO_SPACE;
    }
    return LV2_STATE_SUCCESS;
}

const void* retrieveProperty(LV2_State_Handle handle, std::uint32_t key, std::size_t* size,
                             std::uint32_t* type, std::uint32_t* flags) {
    const StateProperties& properties = *static_cast<const StateProperties*>(handle);
    for (const StateProperty& property : properties) {
        if (property.key != key) continue;
        if (size != nullptr) *size = property.value.size();
        if (type != nullptr) *type = property.type;
        if (flags != nullptr) *flags = property.flags;
        return property.value.data();
    }
    return nullptr;
}

/// A property's value as text: its bytes up to the first NUL.
std::string propertyText(const StateProperty& property) {
    const auto end = std::find(property.value.begin(), property.value.end(), std::uint8_t(0));
    return std::string(property.value.begin(), end);
}

// ---- work requests -----------------------------------------------------------------------------

/// Messages of a fixed room, each a 32-bit size followed by its bytes padded to 8.
class WorkQueue {
  public:
    void reserve(std::size_t bytes) { buffer.resize(bytes); }
    bool empty() const { return used == 0; }
    void clear() { used = 0; }
    bool push(std::uint32_t size, const void* data) {
        const std::size_t needed = 8 + (std::size_t(size) + 7) / 8 * 8;
        if (data == nullptr || needed > buffer.size() - used) return false;
        std::memcpy(buffer.data() + used, &size, sizeof size);
        std::memcpy(buffer.data() + used + 8, data, size);
        used += needed;
        return true;
    }
    template <typename Visit> void forEach(Visit visit) const {
        for (std::size_t at = 0; at < used;) {
            std::uint32_t size = 0;
            std::memcpy(&size, buffer.data() + at, sizeof size);
            visit(size, static_cast<const void*>(buffer.data() + at + 8));
            at += 8 + (std::size_t(size) + 7) / 8 * 8;
        }
    }
    void swap(WorkQueue& other) noexcept {
        buffer.swap(other.buffer);
        std::swap(used, other.used);
    }

  private:
    std::vector<std::uint8_t> buffer;
    std::size_t used = 0;
};

// ---- ports -------------------------------------------------------------------------------------

enum class PortKind { Audio, Control, Cv, Atom, Unknown };

struct PortSlot {
    const LilvPort* port = nullptr;
    PortKind kind = PortKind::Unknown;
    bool input = false;
    std::string symbol;
    /// Control ports: the value in the plug-in's own units, lv2:minimum..lv2:maximum.
    float value = 0;
    float min = 0;
    float max = 1;
    bool integer = false;             ///< lv2:integer: values are whole numbers
    bool freeWheeling = false;        ///< designated lv2:freeWheeling: 1 while rendering offline
    std::vector<float> samples;       ///< audio and CV ports: room for the largest block
    std::vector<std::uint64_t> atoms; ///< atom ports: the buffer, 8-byte aligned
    std::uint32_t atomBytes = 0;      ///< atom ports: the buffer's room in bytes
};

struct ParamSlot {
    std::size_t port = 0; ///< into the port list
    ParameterInfo info;
};

struct Preset {
    LilvNode* uri = nullptr;
    std::string label;
    long number = -1; ///< the number the URI ends in, -1 when none
};

// ---- the instance --------------------------------------------------------------------------

class Lv2Instance final : public Instance {
  public:
    Lv2Instance();
    ~Lv2Instance() override;
    Lv2Instance(const Lv2Instance&) = delete;
    Lv2Instance& operator=(const Lv2Instance&) = delete;

    bool open(const std::string& bundlePath, std::string& error);

    bool start(const StartOptions& options) override;
    void stop() override;

    int programCount() override { return int(presets.size()); }
    std::string programName(int program) override;
    bool selectProgram(int program) override;

    int parameterCount() override { return int(params.size()); }
    ParameterInfo parameterInfo(int index) override;
    double parameter(int index) override;
    std::string parameterDisplay(int index, double value) override;
    void setParameter(int index, double value) override;

    void process(const std::vector<MidiEvent>& midi, const std::vector<ParameterChange>& changes,
                 std::int32_t frames, float* left, float* right) override;

    std::vector<std::uint8_t> saveBank(int& program) override;
    bool loadBank(const std::vector<std::uint8_t>& bank, int program) override;

    bool openPanel(std::uintptr_t parent) override;
    void idlePanel() override;
    void closePanel() override;

  private:
    /// The UI's port writes: a control value is set on the port, as a host does, and noted.
    static void writePort(LV2UI_Controller controller, std::uint32_t index, std::uint32_t size,
                          std::uint32_t protocol, const void* buffer);
    /// ui:touch: a gesture's begin (grabbed) or end on a port.
    static void touchPort(LV2UI_Feature_Handle handle, std::uint32_t index, bool grabbed);
    /// The instrument's parameter number of port index; -1 for none.
    int parameterOfPort(std::uint32_t index) const;

    LilvNode* uri(const char* text);
    bool checkFeatures(std::string& error);
    bool readPorts(std::string& error);
    std::string portName(const LilvPort* port);
    std::string unitSymbol(const LilvPort* port);
    void readPresets();
    bool createInstance(double sampleRate, std::int32_t maxBlock);
    void destroyInstance();
    void connectPorts();
    void runFrames(float* left, float* right, std::uint32_t frames);
    void handOverControls();
    void clearSequence(PortSlot& port);
    bool appendMidi(PortSlot& port, std::int64_t frame, const MidiEvent& message);
    void serveWork(bool afterRun);
    double plainValue(const PortSlot& port, double normalised) const;
    /// The index of the property DPF keeps key under, -1 when there is none.
    std::ptrdiff_t findProperty(const StateProperties& properties, const char* key);
    const StateProperty* property(const StateProperties& properties, const char* key) {
        const std::ptrdiff_t at = findProperty(properties, key);
        return at >= 0 ? &properties[std::size_t(at)] : nullptr;
    }
    void setProperty(StateProperties& properties, const char* key, const std::string& text);
    bool saveProperties(StateProperties& properties);
    bool restoreProperties(const StateProperties& properties);

    static LV2_Worker_Status scheduleWork(LV2_Worker_Schedule_Handle handle, std::uint32_t size,
                                          const void* data);
    static LV2_Worker_Status respondWork(LV2_Worker_Respond_Handle handle, std::uint32_t size,
                                         const void* data);
    static void setPortValue(const char* symbol, void* self, const void* value, std::uint32_t size,
                             std::uint32_t type);

    LilvWorld* world = nullptr;
    const LilvPlugin* plugin = nullptr;
    LilvInstance* instance = nullptr;
    std::string pluginUri;
    std::vector<LilvNode*> nodes; ///< every node made by uri(), freed with the instance
    LilvNode* audioPortClass = nullptr;
    LilvNode* controlPortClass = nullptr;
    LilvNode* cvPortClass = nullptr;
    LilvNode* atomPortClass = nullptr;
    LilvNode* inputPortClass = nullptr;
    LilvNode* outputPortClass = nullptr;
    LilvNode* connectionOptional = nullptr;
    LilvNode* integerProperty = nullptr;
    LilvNode* notAutomatic = nullptr;
    LilvNode* nonAutomatable = nullptr;
    LilvNode* designation = nullptr;
    LilvNode* freeWheelingDesignation = nullptr;
    LilvNode* minimumSize = nullptr;
    LilvNode* midiEventClass = nullptr;
    LilvNode* unitProperty = nullptr;
    LilvNode* unitSymbolProperty = nullptr;
    LilvNode* presetClass = nullptr;
    LilvNode* labelProperty = nullptr;

    UridMap urids;
    LV2_URID atomChunk = 0, atomSequence = 0, atomString = 0, atomFloat = 0, atomDouble = 0,
             atomInt = 0, atomLong = 0, atomBool = 0, midiEvent = 0;

    // What instantiate() gets; kept for the instance's lifetime.
    struct OptionValues {
        std::int32_t minBlock = 1;                                ///< frames
        std::int32_t maxBlock = 512;                              ///< frames
        std::int32_t nominalBlock = 512;                          ///< frames
        std::int32_t sequenceSize = std::int32_t(kSequenceBytes); ///< bytes
        float sampleRate = 44100;                                 ///< Hz
    } optionValues;
    std::array<LV2_Options_Option, 6> optionList{};
    LV2_Worker_Schedule schedule{};
    std::array<LV2_Feature, 5> featureData{};
    std::array<const LV2_Feature*, 6> features{};
    const LV2_Feature* const noFeatures[1] = {nullptr};

    const LV2_State_Interface* stateInterface = nullptr;
    const LV2_Worker_Interface* workerInterface = nullptr;
    WorkQueue workRequests, workResponses, workServing;

    std::vector<PortSlot> ports;
    std::vector<ParamSlot> params;
    std::size_t midiPort = 0;
    std::vector<std::size_t> audioOutputs; ///< into the port list, in port order
    std::vector<Preset> presets;

    // The open panel: the UI binary, its descriptor and instance, and what it was given.
    void* uiLibrary = nullptr;
    const LV2UI_Descriptor* uiDescriptor = nullptr;
    LV2UI_Handle uiHandle = nullptr;
    LV2_Extension_Data_Feature dataAccess{};
    LV2UI_Touch touch{};
    std::array<LV2_Feature, 8> uiFeatureData{};
    std::array<const LV2_Feature*, 9> uiFeatures{};

    bool active = false;
    double instanceRate = 0;        ///< Hz, the rate the instance was made with
    std::int32_t instanceBlock = 0; ///< frames, the largest block the instance was made for
    StartOptions options;
};

Lv2Instance::Lv2Instance() {
    workRequests.reserve(kWorkBytes);
    workResponses.reserve(kWorkBytes);
    workServing.reserve(kWorkBytes);
}

Lv2Instance::~Lv2Instance() {
    closePanel();
    stop();
    destroyInstance();
    for (Preset& preset : presets)
        lilv_node_free(preset.uri);
    for (LilvNode* node : nodes)
        lilv_node_free(node);
    if (world != nullptr) lilv_world_free(world);
}

LilvNode* Lv2Instance::uri(const char* text) {
    LilvNode* node = lilv_new_uri(world, text);
    nodes.push_back(node);
    return node;
}

bool Lv2Instance::open(const std::string& bundlePath, std::string& error) {
    char* resolved = realpath(bundlePath.c_str(), nullptr);
    if (resolved == nullptr) {
        error = "no such bundle folder: " + bundlePath;
        return false;
    }
    std::string folder(resolved);
    std::free(resolved);
    struct stat info {};
    if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        error = bundlePath + " is not a bundle folder";
        return false;
    }
    if (folder.back() != '/') folder += '/'; // lilv wants the bundle URI to end in a slash

    world = lilv_world_new();
    if (world == nullptr) {
        error = "lilv_world_new failed";
        return false;
    }
    LilvNode* bundle = lilv_new_file_uri(world, nullptr, folder.c_str());
    if (bundle == nullptr) {
        error = "no file URI for " + folder;
        return false;
    }
    lilv_world_load_bundle(world, bundle);
    lilv_node_free(bundle);
    lilv_world_load_plugin_classes(world);

    const LilvPlugins* all = lilv_world_get_all_plugins(world);
    if (lilv_plugins_size(all) != 1) {
        error = folder + " describes " + std::to_string(lilv_plugins_size(all)) +
                " plug-ins instead of one (is manifest.ttl there?)";
        return false;
    }
    plugin = lilv_plugins_get(all, lilv_plugins_begin(all));
    pluginUri = lilv_node_as_uri(lilv_plugin_get_uri(plugin));
    if (!lilv_plugin_verify(plugin)) {
        error = "the bundle's description of " + pluginUri + " is incomplete or invalid";
        return false;
    }

    audioPortClass = uri(LV2_CORE__AudioPort);
    controlPortClass = uri(LV2_CORE__ControlPort);
    cvPortClass = uri(LV2_CORE__CVPort);
    atomPortClass = uri(LV2_ATOM__AtomPort);
    inputPortClass = uri(LV2_CORE__InputPort);
    outputPortClass = uri(LV2_CORE__OutputPort);
    connectionOptional = uri(LV2_CORE__connectionOptional);
    integerProperty = uri(LV2_CORE__integer);
    notAutomatic = uri(LV2_PORT_PROPS__notAutomatic);
    nonAutomatable = uri(kNonAutomatable);
    designation = uri(LV2_CORE__designation);
    freeWheelingDesignation = uri(LV2_CORE__freeWheeling);
    minimumSize = uri(LV2_RESIZE_PORT__minimumSize);
    midiEventClass = uri(LV2_MIDI__MidiEvent);
    unitProperty = uri(LV2_UNITS__unit);
    unitSymbolProperty = uri(LV2_UNITS__symbol);
    presetClass = uri(LV2_PRESETS__Preset);
    labelProperty = uri(LILV_NS_RDFS "label");

    atomChunk = urids.map(LV2_ATOM__Chunk);
    atomSequence = urids.map(LV2_ATOM__Sequence);
    atomString = urids.map(LV2_ATOM__String);
    atomFloat = urids.map(LV2_ATOM__Float);
    atomDouble = urids.map(LV2_ATOM__Double);
    atomInt = urids.map(LV2_ATOM__Int);
    atomLong = urids.map(LV2_ATOM__Long);
    atomBool = urids.map(LV2_ATOM__Bool);
    midiEvent = urids.map(LV2_MIDI__MidiEvent);

    // The features; the option values are filled in by createInstance().
    const LV2_URID intType = atomInt;
    const auto option = [](LV2_URID key, LV2_URID type, const void* value, std::uint32_t size) {
        LV2_Options_Option entry{};
        entry.context = LV2_OPTIONS_INSTANCE;
        entry.subject = 0;
        entry.key = key;
        entry.size = size;
        entry.type = type;
        entry.value = value;
        return entry;
    };
    optionList[0] = option(urids.map(LV2_BUF_SIZE__minBlockLength), intType, &optionValues.minBlock,
                           sizeof(std::int32_t));
    optionList[1] = option(urids.map(LV2_BUF_SIZE__maxBlockLength), intType, &optionValues.maxBlock,
                           sizeof(std::int32_t));
    optionList[2] = option(urids.map(LV2_BUF_SIZE__nominalBlockLength), intType,
                           &optionValues.nominalBlock, sizeof(std::int32_t));
    optionList[3] = option(urids.map(LV2_BUF_SIZE__sequenceSize), intType,
                           &optionValues.sequenceSize, sizeof(std::int32_t));
    optionList[4] = option(urids.map(LV2_PARAMETERS__sampleRate), atomFloat,
                           &optionValues.sampleRate, sizeof(float));
    optionList[5] = LV2_Options_Option{}; // the terminator: key 0, value null
    schedule.handle = this;
    schedule.schedule_work = scheduleWork;
    featureData[0] = {LV2_URID__map, &urids.mapFeature};
    featureData[1] = {LV2_URID__unmap, &urids.unmapFeature};
    featureData[2] = {LV2_OPTIONS__options, optionList.data()};
    featureData[3] = {LV2_BUF_SIZE__boundedBlockLength, nullptr};
    featureData[4] = {LV2_WORKER__schedule, &schedule};
    for (std::size_t i = 0; i < featureData.size(); ++i)
        features[i] = &featureData[i];
    features.back() = nullptr;

    if (!checkFeatures(error) || !readPorts(error)) return false;
    readPresets();
    if (!createInstance(StartOptions{}.sampleRate, StartOptions{}.maxBlock)) {
        error = lastError;
        return false;
    }
    lastError.clear();
    return true;
}

bool Lv2Instance::checkFeatures(std::string& error) {
    LilvNodes* required = lilv_plugin_get_required_features(plugin);
    std::string missing;
    LILV_FOREACH(nodes, i, required) {
        const char* feature = lilv_node_as_uri(lilv_nodes_get(required, i));
        // lv2:inPlaceBroken asks that no input share a buffer with an output: none ever does.
        const bool given =
            feature != nullptr &&
            (std::strcmp(feature, LV2_CORE__inPlaceBroken) == 0 ||
             std::any_of(featureData.begin(), featureData.end(), [feature](const LV2_Feature& f) {
                 return std::strcmp(f.URI, feature) == 0;
             }));
        if (!given) missing += std::string(missing.empty() ? "" : ", ") + (feature ? feature : "?");
    }
    lilv_nodes_free(required);
    if (missing.empty()) return true;
    error = pluginUri + " requires features this host does not give: " + missing;
    return false;
}

std::string Lv2Instance::portName(const LilvPort* port) {
    LilvNode* name = lilv_port_get_name(plugin, port);
    std::string text = name != nullptr ? lilv_node_as_string(name) : "";
    lilv_node_free(name);
    return text;
}

std::string Lv2Instance::unitSymbol(const LilvPort* port) {
    LilvNode* unit = lilv_port_get(plugin, port, unitProperty);
    if (unit == nullptr) return {};
    std::string symbol;
    // A unit of the plug-in's own is described in its data; the units of the LV2 vocabulary only
    // where the world loaded it, so those fall back to the table.
    if (LilvNode* given = lilv_world_get(world, unit, unitSymbolProperty, nullptr)) {
        symbol = lilv_node_as_string(given);
        lilv_node_free(given);
    } else if (lilv_node_is_uri(unit)) {
        symbol = knownUnitSymbol(lilv_node_as_uri(unit));
    }
    lilv_node_free(unit);
    return symbol;
}

bool Lv2Instance::readPorts(std::string& error) {
    const std::uint32_t count = lilv_plugin_get_num_ports(plugin);
    ports.assign(count, PortSlot{});
    bool midiFound = false;
    for (std::uint32_t i = 0; i < count; ++i) {
        PortSlot& slot = ports[i];
        slot.port = lilv_plugin_get_port_by_index(plugin, i);
        const LilvPort* port = slot.port;
        slot.input = lilv_port_is_a(plugin, port, inputPortClass);
        slot.symbol = lilv_node_as_string(lilv_port_get_symbol(plugin, port));
        if (lilv_port_is_a(plugin, port, audioPortClass)) {
            slot.kind = PortKind::Audio;
            if (!slot.input) audioOutputs.push_back(i);
        } else if (lilv_port_is_a(plugin, port, cvPortClass)) {
            slot.kind = PortKind::Cv;
        } else if (lilv_port_is_a(plugin, port, controlPortClass)) {
            slot.kind = PortKind::Control;
            LilvNode *def = nullptr, *min = nullptr, *max = nullptr;
            lilv_port_get_range(plugin, port, &def, &min, &max);
            const auto number = [](const LilvNode* node, float fallback) {
                return node != nullptr && (lilv_node_is_float(node) || lilv_node_is_int(node))
                           ? lilv_node_as_float(node)
                           : fallback;
            };
            slot.min = number(min, 0.0f);
            slot.max = number(max, std::max(slot.min, 1.0f));
            slot.value = number(def, slot.min);
            if (slot.min <= slot.max) slot.value = std::clamp(slot.value, slot.min, slot.max);
            lilv_node_free(def);
            lilv_node_free(min);
            lilv_node_free(max);
            slot.integer = lilv_port_has_property(plugin, port, integerProperty);
            LilvNode* designated = lilv_port_get(plugin, port, designation);
            slot.freeWheeling = slot.input && designated != nullptr &&
                                lilv_node_equals(designated, freeWheelingDesignation);
            lilv_node_free(designated);
        } else if (lilv_port_is_a(plugin, port, atomPortClass)) {
            slot.kind = PortKind::Atom;
            std::uint32_t bytes = kSequenceBytes;
            if (LilvNode* asked = lilv_port_get(plugin, port, minimumSize)) {
                if (lilv_node_is_int(asked) && lilv_node_as_int(asked) > 0)
                    bytes = std::max(bytes, std::uint32_t(lilv_node_as_int(asked)));
                lilv_node_free(asked);
            }
            slot.atomBytes = (bytes + 7) / 8 * 8;
            slot.atoms.assign(slot.atomBytes / 8, 0);
            if (slot.input && !midiFound &&
                lilv_port_supports_event(plugin, port, midiEventClass)) {
                midiPort = i;
                midiFound = true;
            }
        } else if (!lilv_port_has_property(plugin, port, connectionOptional)) {
            error = "port " + std::to_string(i) + " (\"" + slot.symbol +
                    "\") is of a kind this host does not know, and not optional";
            return false;
        }
    }
    if (audioOutputs.empty()) {
        error = pluginUri + " has no audio output";
        return false;
    }
    if (!midiFound) {
        error = pluginUri + " has no atom input port that takes midi:MidiEvent";
        return false;
    }

    std::string missing;
    for (const char* name : kParameterNames) {
        bool found = false;
        for (std::size_t i = 0; i < ports.size() && !found; ++i) {
            const PortSlot& slot = ports[i];
            if (slot.kind != PortKind::Control || !slot.input || portName(slot.port) != name)
                continue;
            ParamSlot param;
            param.port = i;
            param.info.name = name;
            param.info.unit = unitSymbol(slot.port);
            param.info.automatable = !lilv_port_has_property(plugin, slot.port, notAutomatic) &&
                                     !lilv_port_has_property(plugin, slot.port, nonAutomatable);
            params.push_back(param);
            found = true;
        }
        if (!found) missing += std::string(missing.empty() ? "\"" : ", \"") + name + "\"";
    }
    if (!missing.empty()) {
        error = pluginUri + " has no control input named " + missing;
        return false;
    }
    return true;
}

void Lv2Instance::readPresets() {
    LilvNodes* related = lilv_plugin_get_related(plugin, presetClass);
    LILV_FOREACH(nodes, i, related) {
        const LilvNode* node = lilv_nodes_get(related, i);
        if (!lilv_node_is_uri(node)) continue;
        Preset preset;
        preset.uri = lilv_node_duplicate(node);
        const std::string text = lilv_node_as_uri(node);
        const std::size_t at = text.rfind("preset");
        if (at != std::string::npos && at + 6 < text.size() &&
            text.find_first_not_of("0123456789", at + 6) == std::string::npos)
            preset.number = std::strtol(text.c_str() + at + 6, nullptr, 10);
        if (LilvNode* label = lilv_world_get(world, node, labelProperty, nullptr)) {
            preset.label = lilv_node_as_string(label);
            lilv_node_free(label);
        }
        presets.push_back(std::move(preset));
    }
    lilv_nodes_free(related);
    // Numbered presets first, by number; the others after them, by URI.
    std::sort(presets.begin(), presets.end(), [](const Preset& a, const Preset& b) {
        if ((a.number < 0) != (b.number < 0)) return a.number >= 0;
        if (a.number != b.number) return a.number < b.number;
        return std::strcmp(lilv_node_as_uri(a.uri), lilv_node_as_uri(b.uri)) < 0;
    });
}

bool Lv2Instance::createInstance(double sampleRate, std::int32_t maxBlock) {
    optionValues.maxBlock = maxBlock;
    optionValues.nominalBlock = maxBlock; // the usual block is the largest one
    optionValues.sampleRate = float(sampleRate);
    for (PortSlot& slot : ports)
        if (slot.kind == PortKind::Audio || slot.kind == PortKind::Cv)
            slot.samples.assign(std::size_t(maxBlock), 0.0f);
    instance = lilv_plugin_instantiate(plugin, sampleRate, features.data());
    if (instance == nullptr) {
        lastError = "lilv_plugin_instantiate failed for " + pluginUri + " at " +
                    std::to_string(sampleRate) + " Hz";
        return false;
    }
    stateInterface = static_cast<const LV2_State_Interface*>(
        lilv_instance_get_extension_data(instance, LV2_STATE__interface));
    workerInterface = static_cast<const LV2_Worker_Interface*>(
        lilv_instance_get_extension_data(instance, LV2_WORKER__interface));
    instanceRate = sampleRate;
    instanceBlock = maxBlock;
    connectPorts();
    serveWork(false);
    return true;
}

void Lv2Instance::destroyInstance() {
    if (instance == nullptr) return;
    lilv_instance_free(instance);
    instance = nullptr;
    stateInterface = nullptr;
    workerInterface = nullptr;
    workRequests.clear();
    workResponses.clear();
}

void Lv2Instance::connectPorts() {
    for (std::size_t i = 0; i < ports.size(); ++i) {
        PortSlot& slot = ports[i];
        void* data = nullptr;
        switch (slot.kind) {
        case PortKind::Audio:
        case PortKind::Cv:
            data = slot.samples.data();
            break;
        case PortKind::Control:
            data = &slot.value;
            break;
        case PortKind::Atom:
            data = slot.atoms.data();
            clearSequence(slot);
            break;
        case PortKind::Unknown:
            break; // optional: left unconnected
        }
        lilv_instance_connect_port(instance, std::uint32_t(i), data);
    }
}

void Lv2Instance::clearSequence(PortSlot& slot) {
    LV2_Atom_Sequence* sequence = reinterpret_cast<LV2_Atom_Sequence*>(slot.atoms.data());
    if (slot.input) {
        sequence->atom.type = atomSequence;
        sequence->atom.size = sizeof(LV2_Atom_Sequence_Body);
        sequence->body.unit = 0; // event times in frames
        sequence->body.pad = 0;
    } else {
        // An output: a chunk as large as the buffer, which the plug-in fills with its sequence.
        sequence->atom.type = atomChunk;
        sequence->atom.size = slot.atomBytes - std::uint32_t(sizeof(LV2_Atom));
    }
}

bool Lv2Instance::appendMidi(PortSlot& slot, std::int64_t frame, const MidiEvent& message) {
    LV2_Atom_Sequence* sequence = reinterpret_cast<LV2_Atom_Sequence*>(slot.atoms.data());
    const std::uint32_t size = midiLength(message.status);
    const std::uint32_t used = std::uint32_t(sizeof(LV2_Atom)) + sequence->atom.size;
    const std::uint32_t needed = lv2_atom_pad_size(std::uint32_t(sizeof(LV2_Atom_Event)) + size);
    if (needed > slot.atomBytes - used) return false;
    std::uint8_t* at = reinterpret_cast<std::uint8_t*>(sequence) + used;
    LV2_Atom_Event* event = reinterpret_cast<LV2_Atom_Event*>(at);
    event->time.frames = frame;
    event->body.type = midiEvent;
    event->body.size = size;
    std::uint8_t* bytes = at + sizeof(LV2_Atom_Event);
    const std::uint8_t data[3] = {message.status, message.data1, message.data2};
    std::memset(bytes, 0, needed - sizeof(LV2_Atom_Event));
    std::memcpy(bytes, data, size);
    sequence->atom.size += needed;
    return true;
}

void Lv2Instance::runFrames(float* left, float* right, std::uint32_t frames) {
    // Left and right are the caller's buffers, or the ports' own for a run of no frames.
    PortSlot& leftPort = ports[audioOutputs[0]];
    lilv_instance_connect_port(instance, std::uint32_t(audioOutputs[0]),
                               left != nullptr ? left : leftPort.samples.data());
    if (audioOutputs.size() > 1) {
        PortSlot& rightPort = ports[audioOutputs[1]];
        lilv_instance_connect_port(instance, std::uint32_t(audioOutputs[1]),
                                   right != nullptr ? right : rightPort.samples.data());
    }
    for (PortSlot& slot : ports)
        if (slot.kind == PortKind::Atom && !slot.input) clearSequence(slot);
    timedProcess([&] { lilv_instance_run(instance, frames); });
    clearSequence(ports[midiPort]); // the events were for this run only
    serveWork(true);
    if (audioOutputs.size() == 1 && left != nullptr && right != nullptr)
        std::copy(left, left + frames, right); // a mono plug-in plays on both sides
}

void Lv2Instance::handOverControls() {
    // The plug-in reads its control ports when it runs: a run of no frames hands new values over
    // at once (the plug-in updates its control outputs and renders nothing).
    if (active) runFrames(nullptr, nullptr, 0);
}

void Lv2Instance::serveWork(bool afterRun) {
    if (workerInterface == nullptr) {
        workRequests.clear();
        workResponses.clear();
        return;
    }
    LV2_Handle handle = lilv_instance_get_handle(instance);
    // Work may bring responses, and responses new work: a few rounds at most.
    for (int round = 0; round < 8 && !(workRequests.empty() && workResponses.empty()); ++round) {
        workServing.clear();
        workServing.swap(workRequests);
        if (workerInterface->work != nullptr)
            workServing.forEach([this, handle](std::uint32_t size, const void* data) {
                workerInterface->work(handle, respondWork, this, size, data);
            });
        workServing.clear();
        workServing.swap(workResponses);
        if (workerInterface->work_response != nullptr)
            workServing.forEach([this, handle](std::uint32_t size, const void* data) {
                workerInterface->work_response(handle, size, data);
            });
    }
    workServing.clear();
    if (afterRun && workerInterface->end_run != nullptr) workerInterface->end_run(handle);
}

LV2_Worker_Status Lv2Instance::scheduleWork(LV2_Worker_Schedule_Handle handle, std::uint32_t size,
                                            const void* data) {
    Lv2Instance* self = static_cast<Lv2Instance*>(handle);
    return self->workRequests.push(size, data) ? LV2_WORKER_SUCCESS : LV2_WORKER_ERR_NO_SPACE;
}

LV2_Worker_Status Lv2Instance::respondWork(LV2_Worker_Respond_Handle handle, std::uint32_t size,
                                           const void* data) {
    Lv2Instance* self = static_cast<Lv2Instance*>(handle);
    return self->workResponses.push(size, data) ? LV2_WORKER_SUCCESS : LV2_WORKER_ERR_NO_SPACE;
}

void Lv2Instance::setPortValue(const char* symbol, void* self, const void* value,
                               std::uint32_t size, std::uint32_t type) {
    Lv2Instance* host = static_cast<Lv2Instance*>(self);
    if (symbol == nullptr || value == nullptr) return;
    float number = 0;
    if (type == host->atomFloat && size == sizeof(float))
        number = *static_cast<const float*>(value);
    else if (type == host->atomDouble && size == sizeof(double))
        number = float(*static_cast<const double*>(value));
    else if ((type == host->atomInt || type == host->atomBool) && size == sizeof(std::int32_t))
        number = float(*static_cast<const std::int32_t*>(value));
    else if (type == host->atomLong && size == sizeof(std::int64_t))
        number = float(*static_cast<const std::int64_t*>(value));
    else
        return;
    for (PortSlot& slot : host->ports)
        if (slot.kind == PortKind::Control && slot.input && slot.symbol == symbol)
            slot.value = number;
}

bool Lv2Instance::start(const StartOptions& startOptions) {
    try {
        stop();
        if (startOptions.sampleRate <= 0 || startOptions.maxBlock <= 0) {
            lastError = "start: the sample rate and the largest block must be positive";
            return false;
        }
        // The rate is fixed at instantiation: another rate or largest block means a new instance,
        // which gets the old one's state (the control values stay in the host's ports).
        if (instance == nullptr || startOptions.sampleRate != instanceRate ||
            startOptions.maxBlock != instanceBlock) {
            StateProperties carried;
            const bool carry =
                instance != nullptr && stateInterface != nullptr && saveProperties(carried);
            destroyInstance();
            if (!createInstance(startOptions.sampleRate, startOptions.maxBlock)) return false;
            if (carry && !restoreProperties(carried)) return false;
        }
        options = startOptions;
        for (PortSlot& slot : ports)
            if (slot.freeWheeling) slot.value = options.offline ? 1.0f : 0.0f;
        lilv_instance_activate(instance);
        active = true;
        return startOptions.program < 0 || selectProgram(startOptions.program);
    } catch (...) {
        lastError = "start: out of memory";
        return false;
    }
}

void Lv2Instance::stop() {
    if (active) lilv_instance_deactivate(instance);
    active = false;
}

std::string Lv2Instance::programName(int program) {
    try {
        if (program < 0 || std::size_t(program) >= presets.size()) return {};
        return presets[std::size_t(program)].label;
    } catch (...) {
        return {};
    }
}

double Lv2Instance::plainValue(const PortSlot& port, double normalised) const {
    const double v = std::clamp(normalised, 0.0, 1.0);
    const double plain = double(port.min) + v * (double(port.max) - double(port.min));
    return port.integer ? std::round(plain) : plain;
}

ParameterInfo Lv2Instance::parameterInfo(int index) {
    try {
        if (index < 0 || std::size_t(index) >= params.size()) return {};
        return params[std::size_t(index)].info;
    } catch (...) {
        return {};
    }
}

double Lv2Instance::parameter(int index) {
    if (index < 0 || std::size_t(index) >= params.size()) return 0;
    // LV2 has no way to ask a plug-in for an input's value: the port holds what the host last
    // set or a preset restored. A state restore (loadBank) that changes the plug-in's parameters
    // leaves the ports as they were, and the plug-in goes on with its own values until the host
    // sets a port to a value other than the one it last saw there.
    const PortSlot& port = ports[params[std::size_t(index)].port];
    if (port.max <= port.min) return 0;
    return std::clamp((double(port.value) - port.min) / (double(port.max) - port.min), 0.0, 1.0);
}

std::string Lv2Instance::parameterDisplay(int index, double value) {
    try {
        if (index < 0 || std::size_t(index) >= params.size()) return {};
        const ParamSlot& param = params[std::size_t(index)];
        const PortSlot& port = ports[param.port];
        // LV2 has no display callback: the plain value, with the unit's symbol when it has one.
        const double plain = plainValue(port, value);
        char text[64] = {};
        if (port.integer)
            std::snprintf(text, sizeof text, "%ld", std::lround(plain));
        else
            std::snprintf(text, sizeof text, "%g", plain);
        std::string display = text;
        if (!param.info.unit.empty()) display += " " + param.info.unit;
        return display;
    } catch (...) {
        return {};
    }
}

void Lv2Instance::setParameter(int index, double value) {
    if (index < 0 || std::size_t(index) >= params.size()) return;
    PortSlot& port = ports[params[std::size_t(index)].port];
    port.value = float(plainValue(port, value));
    if (instance != nullptr) handOverControls();
}

int Lv2Instance::parameterOfPort(std::uint32_t index) const {
    for (std::size_t k = 0; k < params.size(); ++k)
        if (params[k].port == index) return int(k);
    return -1;
}

void Lv2Instance::writePort(LV2UI_Controller controller, std::uint32_t index, std::uint32_t size,
                            std::uint32_t protocol, const void* buffer) {
    auto& self = *static_cast<Lv2Instance*>(const_cast<void*>(controller));
    const int parameter = self.parameterOfPort(index);
    if (protocol != 0 || size != sizeof(float) || buffer == nullptr || parameter < 0) return;
    PortSlot& port = self.ports[index];
    port.value = *static_cast<const float*>(buffer);
    const double normalised =
        port.max > port.min ? (double(port.value) - port.min) / (double(port.max) - port.min) : 0;
    self.recordPanelEdit({PanelEdit::Kind::Value, parameter, normalised});
}

void Lv2Instance::touchPort(LV2UI_Feature_Handle handle, std::uint32_t index, bool grabbed) {
    auto& self = *static_cast<Lv2Instance*>(handle);
    const int parameter = self.parameterOfPort(index);
    if (parameter < 0) return;
    self.recordPanelEdit({grabbed ? PanelEdit::Kind::Begin : PanelEdit::Kind::End, parameter, 0});
}

bool Lv2Instance::openPanel(std::uintptr_t parent) {
    closePanel();
    if (instance == nullptr) {
        lastError = "no instance to show a panel of";
        return false;
    }
    // The plug-in's embeddable X11 UI, from the bundle's description.
    const LilvNode* uiClass = uri(LV2_UI__X11UI);
    LilvUIs* uis = lilv_plugin_get_uis(plugin);
    const LilvUI* found = nullptr;
    LILV_FOREACH(uis, i, uis) {
        const LilvUI* ui = lilv_uis_get(uis, i);
        if (lilv_ui_is_a(ui, uiClass)) found = ui;
    }
    std::string uiUri, binary, bundle;
    if (found != nullptr) {
        uiUri = lilv_node_as_uri(lilv_ui_get_uri(found));
        char* path = lilv_file_uri_parse(lilv_node_as_uri(lilv_ui_get_binary_uri(found)), nullptr);
        char* folder =
            lilv_file_uri_parse(lilv_node_as_uri(lilv_ui_get_bundle_uri(found)), nullptr);
        binary = path ? path : "";
        bundle = folder ? folder : "";
        lilv_free(path);
        lilv_free(folder);
    }
    lilv_uis_free(uis);
    if (uiUri.empty()) {
        lastError = "the plug-in describes no X11 UI";
        return false;
    }
    uiLibrary = dlopen(binary.c_str(), RTLD_NOW | RTLD_LOCAL);
    const auto entry =
        uiLibrary ? reinterpret_cast<LV2UI_DescriptorFunction>(dlsym(uiLibrary, "lv2ui_descriptor"))
                  : nullptr;
    for (std::uint32_t i = 0; entry != nullptr; ++i) {
        const LV2UI_Descriptor* descriptor = entry(i);
        if (descriptor == nullptr) break;
        if (uiUri == descriptor->URI) uiDescriptor = descriptor;
    }
    if (uiDescriptor == nullptr) {
        lastError = "the UI binary " + binary + " has no descriptor for " + uiUri;
        closePanel();
        return false;
    }

    dataAccess.data_access = lilv_instance_get_descriptor(instance)->extension_data;
    touch.handle = this;
    touch.touch = touchPort;
    uiFeatureData = {{
        {LV2_URID__map, &urids.mapFeature},
        {LV2_URID__unmap, &urids.unmapFeature},
        {LV2_OPTIONS__options, optionList.data()},
        {LV2_UI__parent, reinterpret_cast<void*>(parent)},
        {LV2_UI__idleInterface, nullptr},
        {LV2_UI__touch, &touch},
        {LV2_INSTANCE_ACCESS_URI, lilv_instance_get_handle(instance)},
        {LV2_DATA_ACCESS_URI, &dataAccess},
    }};
    for (std::size_t i = 0; i < uiFeatureData.size(); ++i)
        uiFeatures[i] = &uiFeatureData[i];
    uiFeatures.back() = nullptr;
    keepPanelEditRoom();
    LV2UI_Widget widget = nullptr;
    uiHandle = uiDescriptor->instantiate(uiDescriptor, pluginUri.c_str(), bundle.c_str(), writePort,
                                         this, &widget, uiFeatures.data());
    if (uiHandle == nullptr) {
        lastError = "the UI's instantiate failed";
        closePanel();
        return false;
    }
    return true;
}

void Lv2Instance::idlePanel() {
    if (uiHandle == nullptr || uiDescriptor->extension_data == nullptr) return;
    const auto* idle = static_cast<const LV2UI_Idle_Interface*>(
        uiDescriptor->extension_data(LV2_UI__idleInterface));
    if (idle != nullptr) idle->idle(uiHandle);
}

void Lv2Instance::closePanel() {
    if (uiHandle != nullptr) uiDescriptor->cleanup(uiHandle);
    uiHandle = nullptr;
    uiDescriptor = nullptr;
    if (uiLibrary != nullptr) dlclose(uiLibrary);
    uiLibrary = nullptr;
}

void Lv2Instance::process(const std::vector<MidiEvent>& midi,
                          const std::vector<ParameterChange>& changes, std::int32_t frames,
                          float* left, float* right) {
    if (frames <= 0) return;
    std::fill(left, left + frames, 0.0f);
    std::fill(right, right + frames, 0.0f);
    if (!active) {
        lastError = "process() while the instance is not started";
        return;
    }
    const auto clampFrame = [frames](std::int32_t frame) {
        return std::clamp(frame, 0, frames - 1);
    };
    PortSlot& midiIn = ports[midiPort];
    std::size_t nextMidi = 0, nextChange = 0;
    // Blocks longer than the largest block announced are split; so is each run at every frame
    // where a parameter changes (control ports count for a whole run).
    for (std::int32_t offset = 0; offset < frames; offset += options.maxBlock) {
        const std::int32_t end = std::min(frames, offset + options.maxBlock);
        for (std::int32_t at = offset; at < end;) {
            while (nextChange < changes.size() && clampFrame(changes[nextChange].frame) <= at) {
                const ParameterChange& change = changes[nextChange++];
                if (change.index < 0 || std::size_t(change.index) >= params.size()) continue;
                PortSlot& port = ports[params[std::size_t(change.index)].port];
                port.value = float(plainValue(port, change.value));
            }
            std::int32_t until = end;
            if (nextChange < changes.size())
                until = std::min(until, clampFrame(changes[nextChange].frame));
            // At one frame the parameter changes go before the MIDI (as in the other formats).
            while (nextMidi < midi.size() && clampFrame(midi[nextMidi].frame) < until) {
                const std::int32_t frame = std::max(clampFrame(midi[nextMidi].frame), at);
                if (!appendMidi(midiIn, frame - at, midi[nextMidi]))
                    lastError = "process: the MIDI input buffer is full, events were dropped";
                ++nextMidi;
            }
            runFrames(left + at, right + at, std::uint32_t(until - at));
            at = until;
        }
    }
}

std::ptrdiff_t Lv2Instance::findProperty(const StateProperties& properties, const char* key) {
    const LV2_URID readable = urids.map((pluginUri + "#" + key).c_str());
    const LV2_URID hidden = urids.map((std::string(kDpfStatePrefix) + key).c_str());
    for (std::size_t i = 0; i < properties.size(); ++i)
        if (properties[i].key != 0 &&
            (properties[i].key == readable || properties[i].key == hidden))
            return std::ptrdiff_t(i);
    return -1;
}

void Lv2Instance::setProperty(StateProperties& properties, const char* key,
                              const std::string& text) {
    std::vector<std::uint8_t> value(text.begin(), text.end());
    value.push_back(0); // DPF's strings carry their NUL
    const std::ptrdiff_t at = findProperty(properties, key);
    if (at >= 0) {
        properties[std::size_t(at)].value = value; // the plug-in's own key, type and flags
        return;
    }
    // Not in the plug-in's saved state: under both of the wrapper's names, as strings.
    for (const std::string& name : {std::string(kDpfStatePrefix) + key, pluginUri + "#" + key}) {
        StateProperty property;
        property.key = urids.map(name.c_str());
        property.type = atomString;
        property.flags = LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE;
        property.value = value;
        properties.push_back(std::move(property));
    }
}

bool Lv2Instance::saveProperties(StateProperties& properties) {
    properties.clear();
    if (instance == nullptr || stateInterface == nullptr || stateInterface->save == nullptr) {
        lastError = "the plug-in has no state interface";
        return false;
    }
    const LV2_State_Status status =
        stateInterface->save(lilv_instance_get_handle(instance), storeProperty, &properties,
                             LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE, noFeatures);
    serveWork(false);
    if (status != LV2_STATE_SUCCESS) {
        lastError = "the plug-in's state save failed (status " + std::to_string(status) + ")";
        return false;
    }
    return true;
}

bool Lv2Instance::restoreProperties(const StateProperties& properties) {
    if (instance == nullptr || stateInterface == nullptr || stateInterface->restore == nullptr) {
        lastError = "the plug-in has no state interface";
        return false;
    }
    // retrieveProperty only reads through the handle.
    LV2_State_Handle given = const_cast<StateProperties*>(&properties);
    const LV2_State_Status status =
        stateInterface->restore(lilv_instance_get_handle(instance), retrieveProperty, given,
                                LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE, noFeatures);
    serveWork(false);
    if (status != LV2_STATE_SUCCESS) {
        lastError = "the plug-in refused the state (status " + std::to_string(status) + ")";
        return false;
    }
    return true;
}

bool Lv2Instance::selectProgram(int program) {
    try {
        if (program < 0 || std::size_t(program) >= presets.size()) {
            lastError = "selectProgram: no preset " + std::to_string(program) +
                        " (the bundle has " + std::to_string(presets.size()) + ")";
            return false;
        }
        if (instance == nullptr) {
            lastError = "selectProgram: no instance";
            return false;
        }
        const Preset& preset = presets[std::size_t(program)];
        // The preset's data is in the files its description points to (presets.ttl); lilv parses
        // each file once.
        lilv_world_load_resource(world, preset.uri);
        LilvState* state = lilv_state_new_from_world(world, &urids.mapFeature, preset.uri);
        if (state == nullptr) {
            lastError = std::string("no state for preset ") + lilv_node_as_uri(preset.uri);
            return false;
        }
        lilv_state_restore(state, instance, setPortValue, this, 0, noFeatures);
        lilv_state_free(state);
        serveWork(false);
        handOverControls();
        // lilv_state_restore reports nothing: the instrument's own "program" tells what it did.
        StateProperties saved;
        if (stateInterface == nullptr || !saveProperties(saved)) return true;
        const StateProperty* current = property(saved, "program");
        int kept = -1;
        if (current != nullptr && parseInt(propertyText(*current), kept) && kept != program) {
            lastError = "the plug-in kept program " + std::to_string(kept) + " instead of " +
                        std::to_string(program) + " after preset " + lilv_node_as_uri(preset.uri);
            return false;
        }
        return true;
    } catch (...) {
        lastError = "selectProgram: out of memory";
        return false;
    }
}

std::vector<std::uint8_t> Lv2Instance::saveBank(int& program) {
    program = -1;
    try {
        StateProperties saved;
        if (!saveProperties(saved)) return {};
        if (const StateProperty* current = property(saved, "program"))
            parseInt(propertyText(*current), program);
        const StateProperty* chunk = property(saved, "bank");
        if (chunk == nullptr) {
            lastError = "the saved state has no \"bank\"";
            return {};
        }
        std::vector<std::uint8_t> bank;
        if (!statetext::decodeBase64(propertyText(*chunk), bank)) {
            lastError = "the saved state's \"bank\" is not base64";
            return {};
        }
        return bank;
    } catch (...) {
        lastError = "saveBank: out of memory";
        return {};
    }
}

bool Lv2Instance::loadBank(const std::vector<std::uint8_t>& bank, int program) {
    try {
        // The plug-in's current state with the two properties replaced, as a DAW restores a
        // session: the keys keep the names and types the plug-in gave them.
        StateProperties state;
        if (!saveProperties(state)) return false;
        setProperty(state, "bank", statetext::encodeBase64(bank.data(), bank.size()));
        setProperty(state, "program", std::to_string(program));
        if (!restoreProperties(state)) return false;
        handOverControls();
        // DPF's restore reports success whatever the plug-in did with the values: read them back.
        int kept = -1;
        const std::vector<std::uint8_t> stored = saveBank(kept);
        if (stored != bank || kept != program) {
            lastError = "the plug-in kept a different state (a bank of " +
                        std::to_string(stored.size()) + " bytes" +
                        (stored == bank ? std::string(" as given") : std::string()) + ", program " +
                        std::to_string(kept) + ") instead of the " + std::to_string(bank.size()) +
                        " bytes and program " + std::to_string(program) + " given";
            return false;
        }
        return true;
    } catch (...) {
        lastError = "loadBank: out of memory";
        return false;
    }
}

} // namespace

std::unique_ptr<Instance> openLv2Instance(const std::string& bundlePath, std::string& error) {
    try {
        std::unique_ptr<Lv2Instance> instance(new Lv2Instance);
        if (!instance->open(bundlePath, error)) return nullptr;
        return instance;
    } catch (...) {
        error = "openLv2Instance: out of memory";
        return nullptr;
    }
}

} // namespace formathost
