// The CLAP host: loads the .clap file (dlopen / LoadLibraryA), takes clap_entry, initialises it
// once per file however many instances use it, creates the first plug-in the factory lists and
// drives it as a DAW does: init, extensions, activate(rate, 1, largest block), start_processing,
// process blocks with one stereo 32-bit output port and a sorted input event list, then
// stop_processing, deactivate, destroy.
//
// Everything happens on the calling thread, so the host answers both is_main_thread and
// is_audio_thread with true. Requests the plug-in makes from inside a call (request_callback,
// request_flush, request_restart, a parameter rescan) are served before the next call into the
// plug-in that is not process(), never from inside process() or the request itself.
//
// Programs and the bank travel in the plug-in's saved state. Its wrapper writes that state as
// NUL-separated text: "__dpf_program__", N, then "__dpf_state_begin__", key, value, ...,
// "__dpf_state_end__", then "__dpf_parameters_begin__", symbol, value, ...,
// "__dpf_parameters_end__", and a terminator byte 0xFE followed by NUL. The instrument's keys
// are "bank" (the 64 program records, base64) and "program" (the current slot, decimal).
#include "tools/format_hosts/clap_instance.h"

#include "instrument/state_text.h"

#include <clap/entry.h>
#include <clap/events.h>
#include <clap/ext/audio-ports.h>
#include <clap/ext/gui.h>
#include <clap/ext/latency.h>
#include <clap/ext/note-ports.h>
#include <clap/ext/params.h>
#include <clap/ext/state.h>
#include <clap/ext/thread-check.h>
#include <clap/ext/timer-support.h>
#include <clap/host.h>
#include <clap/plugin-factory.h>
#include <clap/plugin.h>
#include <clap/process.h>
#include <clap/stream.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace formathost {
namespace {

// The render and log extensions are not among the CLAP headers at hand (DPF bundles only what
// its wrapper uses); these are their CLAP 1.x declarations, which have not changed since 1.0.
constexpr const char kExtRender[] = "clap.render";
constexpr std::int32_t kRenderRealtime = 0;
constexpr std::int32_t kRenderOffline = 1;
struct PluginRender {
    bool(CLAP_ABI* has_hard_realtime_requirement)(const clap_plugin_t* plugin);
    bool(CLAP_ABI* set)(const clap_plugin_t* plugin, std::int32_t mode);
};
constexpr const char kExtLog[] = "clap.log";
constexpr std::int32_t kLogWarning = 2; // debug 0, info 1, warning 2, error 3, fatal 4, ...
struct HostLog {
    void(CLAP_ABI* log)(const clap_host_t* host, std::int32_t severity, const char* message);
};

// The saved state's markers, as the plug-in's wrapper writes and reads them.
constexpr const char kProgramKey[] = "__dpf_program__";
constexpr const char kStateBegin[] = "__dpf_state_begin__";
constexpr const char kStateEnd[] = "__dpf_state_end__";
constexpr const char kParametersBegin[] = "__dpf_parameters_begin__";
constexpr const char kParametersEnd[] = "__dpf_parameters_end__";
constexpr char kTerminator = '\xfe';

// ---- the saved state's text ----------------------------------------------------------------

/// A decimal integer filling the whole of text; false otherwise.
bool parseInt(const std::string& text, int& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    const long parsed = std::strtol(text.c_str(), &end, 10);
    if (*end != '\0' || parsed < -1000000 || parsed > 1000000) return false;
    value = int(parsed);
    return true;
}

struct SavedState {
    bool hasBank = false;
    std::string bank;      ///< the "bank" value, base64
    int program = -1;      ///< the "program" value, -1 when absent
    int outerProgram = -1; ///< the wrapper's own "__dpf_program__", -1 when absent
};

SavedState parseState(const std::vector<char>& bytes) {
    std::vector<std::string> tokens;
    std::string token;
    for (const char c : bytes) {
        if (c != '\0') {
            token.push_back(c);
            continue;
        }
        if (!token.empty() && token[0] == kTerminator) break;
        tokens.push_back(token);
        token.clear();
    }
    SavedState state;
    enum class Section { Outer, States, Parameters } section = Section::Outer;
    for (std::size_t i = 0; i < tokens.size();) {
        const std::string& key = tokens[i];
        if (key == kStateBegin || key == kParametersBegin || key == kStateEnd ||
            key == kParametersEnd) {
            section = key == kStateBegin        ? Section::States
                      : key == kParametersBegin ? Section::Parameters
                                                : Section::Outer;
            ++i;
            continue;
        }
        if (i + 1 >= tokens.size()) break;
        const std::string& value = tokens[i + 1];
        i += 2;
        if (section == Section::Outer && key == kProgramKey) {
            parseInt(value, state.outerProgram);
        } else if (section == Section::States && key == "bank") {
            state.hasBank = true;
            state.bank = value;
        } else if (section == Section::States && key == "program") {
            parseInt(value, state.program);
        }
    }
    return state;
}

void appendToken(std::string& text, const std::string& token) {
    text += token;
    text.push_back('\0');
}

void appendTerminator(std::string& text) {
    text.push_back(kTerminator);
    text.push_back('\0');
}

// ---- the library ---------------------------------------------------------------------------

/// One loaded .clap file; clap_entry.init ran once. As a DAW does, the host keeps a file loaded
/// once it has loaded it (loading and unloading a statically linked DLL hundreds of times uses
/// up Windows' thread-local storage slots).
class Library {
  public:
    static std::shared_ptr<Library> open(const std::string& path, std::string& error);
    ~Library();
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    const clap_plugin_entry_t* entry = nullptr;

  private:
    Library() = default;
    void* handle = nullptr;
    bool initialised = false;
};

std::mutex libraryMutex;
/// Never destroyed: the files stay loaded until the process ends.
auto& libraries = *new std::map<std::string, std::shared_ptr<Library>>;

std::shared_ptr<Library> Library::open(const std::string& path, std::string& error) {
    const std::lock_guard<std::mutex> lock(libraryMutex);
    if (std::shared_ptr<Library> known = libraries[path]) return known;
    std::shared_ptr<Library> library(new Library);
#ifdef _WIN32
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        error =
            "LoadLibraryA failed for " + path + " (error " + std::to_string(GetLastError()) + ")";
        return nullptr;
    }
    library->handle = static_cast<void*>(module);
    library->entry = reinterpret_cast<const clap_plugin_entry_t*>(
        reinterpret_cast<void*>(GetProcAddress(module, "clap_entry")));
#else
    library->handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library->handle == nullptr) {
        const char* why = dlerror();
        error = "dlopen failed: " + std::string(why != nullptr ? why : path);
        return nullptr;
    }
    library->entry = static_cast<const clap_plugin_entry_t*>(dlsym(library->handle, "clap_entry"));
#endif
    if (library->entry == nullptr) {
        error = path + " exports no clap_entry";
        return nullptr;
    }
    if (!clap_version_is_compatible(library->entry->clap_version)) {
        error = "clap_entry has the incompatible CLAP version " +
                std::to_string(library->entry->clap_version.major) + "." +
                std::to_string(library->entry->clap_version.minor);
        return nullptr;
    }
    if (library->entry->init == nullptr || !library->entry->init(path.c_str())) {
        error = "clap_entry.init refused " + path;
        return nullptr;
    }
    library->initialised = true;
    libraries[path] = library;
    return library;
}

Library::~Library() {
    if (initialised && entry->deinit != nullptr) entry->deinit();
    if (handle == nullptr) return;
#ifdef _WIN32
    FreeLibrary(static_cast<HMODULE>(handle));
#else
    dlclose(handle);
#endif
}

// ---- streams and event lists ---------------------------------------------------------------

struct ReadStream {
    clap_istream_t stream{};
    const std::string* text = nullptr;
    std::size_t position = 0;
};

CLAP_ABI std::int64_t readStream(const clap_istream_t* stream, void* buffer,
                                 std::uint64_t size) noexcept {
    ReadStream* self = static_cast<ReadStream*>(stream->ctx);
    const std::size_t count =
        std::size_t(std::min<std::uint64_t>(size, self->text->size() - self->position));
    std::memcpy(buffer, self->text->data() + self->position, count);
    self->position += count;
    return std::int64_t(count);
}

CLAP_ABI std::int64_t writeStream(const clap_ostream_t* stream, const void* buffer,
                                  std::uint64_t size) noexcept {
    std::vector<char>* bytes = static_cast<std::vector<char>*>(stream->ctx);
    if (size > (std::uint64_t(1) << 30)) return -1;
    try {
        const char* from = static_cast<const char*>(buffer);
        bytes->insert(bytes->end(), from, from + size);
    } catch (...) {
        return -1;
    }
    return std::int64_t(size);
}

/// One input event, MIDI or a parameter value; the header comes first in both.
union EventSlot {
    clap_event_header_t header;
    clap_event_midi_t midi;
    clap_event_param_value_t param;
};

CLAP_ABI std::uint32_t eventCount(const clap_input_events_t* list) noexcept {
    return std::uint32_t(static_cast<const std::vector<EventSlot>*>(list->ctx)->size());
}

CLAP_ABI const clap_event_header_t* eventAt(const clap_input_events_t* list,
                                            std::uint32_t index) noexcept {
    const std::vector<EventSlot>& events = *static_cast<const std::vector<EventSlot>*>(list->ctx);
    return index < events.size() ? &events[index].header : nullptr;
}

EventSlot midiEvent(std::uint32_t frame, const MidiEvent& message) {
    EventSlot slot;
    std::memset(&slot, 0, sizeof slot);
    slot.midi.header.size = sizeof(clap_event_midi_t);
    slot.midi.header.time = frame;
    slot.midi.header.space_id = CLAP_CORE_EVENT_SPACE_ID;
    slot.midi.header.type = CLAP_EVENT_MIDI;
    slot.midi.port_index = 0;
    slot.midi.data[0] = message.status;
    slot.midi.data[1] = message.data1;
    slot.midi.data[2] = message.data2;
    return slot;
}

EventSlot paramEvent(std::uint32_t frame, clap_id id, void* cookie, double plain) {
    EventSlot slot;
    std::memset(&slot, 0, sizeof slot);
    slot.param.header.size = sizeof(clap_event_param_value_t);
    slot.param.header.time = frame;
    slot.param.header.space_id = CLAP_CORE_EVENT_SPACE_ID;
    slot.param.header.type = CLAP_EVENT_PARAM_VALUE;
    slot.param.param_id = id;
    slot.param.cookie = cookie;
    slot.param.note_id = -1; // -1: every note, port, channel and key
    slot.param.port_index = -1;
    slot.param.channel = -1;
    slot.param.key = -1;
    slot.param.value = plain;
    return slot;
}

// ---- the instance --------------------------------------------------------------------------

/// A parameter as params.get_info describes it.
struct ParamSlot {
    clap_id id = CLAP_INVALID_ID;
    void* cookie = nullptr;
    double min = 0; ///< plain range, the plug-in's own units
    double max = 1;
    bool stepped = false;
    ParameterInfo info;
};

/// One output port's channel buffers, each room for the largest block.
struct OutputPort {
    std::uint32_t channels = 0;
    std::vector<std::vector<float>> scratch;
};

class ClapInstance final : public Instance {
  public:
    explicit ClapInstance(std::shared_ptr<Library> library) : library(std::move(library)) {}
    ~ClapInstance() override;

    bool open(const char* pluginId, std::string& error);

    bool start(const StartOptions& options) override;
    void stop() override;

    int programCount() override { return 0; }
    std::string programName(int) override { return {}; }
    bool selectProgram(int program) override;

    int parameterCount() override;
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
    static ClapInstance* self(const clap_host_t* host) {
        return static_cast<ClapInstance*>(host->host_data);
    }
    static const void* CLAP_ABI hostExtension(const clap_host_t* host, const char* id) noexcept;
    static void CLAP_ABI requestRestart(const clap_host_t* host) noexcept {
        self(host)->restartRequested = true;
    }
    static void CLAP_ABI requestProcess(const clap_host_t*) noexcept {}
    static void CLAP_ABI requestCallback(const clap_host_t* host) noexcept {
        self(host)->callbackRequested = true;
    }
    static bool CLAP_ABI onThisThread(const clap_host_t*) noexcept { return true; }
    static void CLAP_ABI logMessage(const clap_host_t*, std::int32_t severity,
                                    const char* message) noexcept {
        if (severity >= kLogWarning && message != nullptr)
            std::fprintf(stderr, "clap plug-in (severity %d): %s\n", int(severity), message);
    }
    static void CLAP_ABI rescanParams(const clap_host_t* host,
                                      clap_param_rescan_flags flags) noexcept {
        if (flags & (CLAP_PARAM_RESCAN_INFO | CLAP_PARAM_RESCAN_ALL))
            self(host)->paramsStale = true;
    }
    static void CLAP_ABI clearParam(const clap_host_t*, clap_id, clap_param_clear_flags) noexcept {}
    static void CLAP_ABI requestFlush(const clap_host_t* host) noexcept {
        self(host)->flushRequested = true;
    }
    static void CLAP_ABI latencyChanged(const clap_host_t* host) noexcept {
        self(host)->latencyStale = true;
    }
    static void CLAP_ABI markDirty(const clap_host_t*) noexcept {}
    static void CLAP_ABI guiHintsChanged(const clap_host_t*) noexcept {}
    static bool CLAP_ABI guiRequestResize(const clap_host_t*, std::uint32_t,
                                          std::uint32_t) noexcept {
        return false;
    }
    static bool CLAP_ABI guiRequest(const clap_host_t*) noexcept { return false; }
    static void CLAP_ABI guiClosed(const clap_host_t*, bool) noexcept {}
    static bool CLAP_ABI registerTimer(const clap_host_t* host, std::uint32_t,
                                       clap_id* id) noexcept;
    static bool CLAP_ABI unregisterTimer(const clap_host_t* host, clap_id id) noexcept;
    /// The output events of a process call: the panel's gesture steps are noted.
    static bool CLAP_ABI takeOutputEvent(const clap_output_events_t* list,
                                         const clap_event_header_t* event) noexcept;

    /// Serves what the plug-in asked for since the last call (between blocks).
    void serveRequests() noexcept;
    void readParams() noexcept;
    bool activate();
    void deactivate();
    const ParamSlot* slot(int index);
    double plainValue(const ParamSlot& param, double normalised) const;
    bool saveState(std::vector<char>& bytes);
    bool loadState(const std::string& text);
    void runBlock(std::int32_t offset, std::int32_t frames, float* left, float* right);

    std::shared_ptr<Library> library;
    clap_host_t host{};
    const clap_plugin_t* plugin = nullptr;
    const clap_plugin_params_t* paramsExt = nullptr;
    const clap_plugin_state_t* stateExt = nullptr;
    const clap_plugin_audio_ports_t* audioPortsExt = nullptr;
    const clap_plugin_note_ports_t* notePortsExt = nullptr;
    const clap_plugin_latency_t* latencyExt = nullptr;
    const PluginRender* renderExt = nullptr;

    std::vector<ParamSlot> params;
    bool paramsStale = false, latencyStale = false;
    bool callbackRequested = false, restartRequested = false, flushRequested = false;
    bool active = false, processing = false;
    StartOptions options;
    std::int64_t steadyTime = 0;     ///< frames processed since the last activation
    std::uint32_t latencyFrames = 0; ///< the plug-in's latency in frames, 0 when it reports none

    std::vector<OutputPort> outputPorts;
    std::vector<float*> channelPointers; ///< all output ports' channels, port after port
    std::vector<clap_audio_buffer_t> outputBuffers;
    std::size_t mainPort = 0; ///< the port whose first two channels are left and right

    std::vector<EventSlot> events;
    clap_input_events_t inEvents{};
    clap_output_events_t outEvents{};

    const clap_plugin_gui_t* guiExt = nullptr; ///< while a panel is open
    std::vector<clap_id> timers;               ///< the plug-in's registered timers
    clap_id nextTimer = 1;
};

const void* CLAP_ABI ClapInstance::hostExtension(const clap_host_t*, const char* id) noexcept {
    static const clap_host_thread_check_t threadCheck = {onThisThread, onThisThread};
    static const HostLog hostLog = {logMessage};
    static const clap_host_params_t hostParams = {rescanParams, clearParam, requestFlush};
    static const clap_host_latency_t hostLatency = {latencyChanged};
    static const clap_host_state_t hostState = {markDirty};
    static const clap_host_gui_t hostGui = {guiHintsChanged, guiRequestResize, guiRequest,
                                            guiRequest, guiClosed};
    static const clap_host_timer_support_t hostTimers = {registerTimer, unregisterTimer};
    if (id == nullptr) return nullptr;
    if (std::strcmp(id, CLAP_EXT_GUI) == 0) return &hostGui;
    if (std::strcmp(id, CLAP_EXT_TIMER_SUPPORT) == 0) return &hostTimers;
    if (std::strcmp(id, CLAP_EXT_THREAD_CHECK) == 0) return &threadCheck;
    if (std::strcmp(id, kExtLog) == 0) return &hostLog;
    if (std::strcmp(id, CLAP_EXT_PARAMS) == 0) return &hostParams;
    if (std::strcmp(id, CLAP_EXT_LATENCY) == 0) return &hostLatency;
    if (std::strcmp(id, CLAP_EXT_STATE) == 0) return &hostState;
    return nullptr;
}

bool ClapInstance::open(const char* pluginId, std::string& error) {
    host.clap_version = CLAP_VERSION;
    host.host_data = this;
    host.name = "formathost";
    host.vendor = "formathost";
    host.url = "";
    host.version = "1.0";
    host.get_extension = hostExtension;
    host.request_restart = requestRestart;
    host.request_process = requestProcess;
    host.request_callback = requestCallback;
    inEvents.ctx = &events;
    inEvents.size = eventCount;
    inEvents.get = eventAt;
    outEvents.ctx = this;
    outEvents.try_push = takeOutputEvent;

    const clap_plugin_factory_t* factory = static_cast<const clap_plugin_factory_t*>(
        library->entry->get_factory(CLAP_PLUGIN_FACTORY_ID));
    if (factory == nullptr) {
        error = "the plug-in has no plug-in factory";
        return false;
    }
    plugin = factory->create_plugin(factory, &host, pluginId);
    if (plugin == nullptr) {
        error = std::string("create_plugin failed for ") + pluginId;
        return false;
    }
    if (!plugin->init(plugin)) {
        error = "the plug-in's init failed";
        plugin->destroy(plugin);
        plugin = nullptr;
        return false;
    }
    auto extension = [this](const char* id) { return plugin->get_extension(plugin, id); };
    paramsExt = static_cast<const clap_plugin_params_t*>(extension(CLAP_EXT_PARAMS));
    stateExt = static_cast<const clap_plugin_state_t*>(extension(CLAP_EXT_STATE));
    audioPortsExt = static_cast<const clap_plugin_audio_ports_t*>(extension(CLAP_EXT_AUDIO_PORTS));
    notePortsExt = static_cast<const clap_plugin_note_ports_t*>(extension(CLAP_EXT_NOTE_PORTS));
    latencyExt = static_cast<const clap_plugin_latency_t*>(extension(CLAP_EXT_LATENCY));
    renderExt = static_cast<const PluginRender*>(extension(kExtRender));

    if (audioPortsExt == nullptr || audioPortsExt->count(plugin, false) == 0) {
        error = "the plug-in has no audio output port";
        return false;
    }
    clap_note_port_info_t notePort{};
    if (notePortsExt == nullptr || notePortsExt->count(plugin, true) == 0 ||
        !notePortsExt->get(plugin, 0, true, &notePort) ||
        (notePort.supported_dialects & CLAP_NOTE_DIALECT_MIDI) == 0) {
        error = "the plug-in has no note input port that takes MIDI";
        return false;
    }
    readParams();
    serveRequests();
    return true;
}

ClapInstance::~ClapInstance() {
    if (plugin == nullptr) return;
    closePanel();
    deactivate();
    plugin->destroy(plugin);
}

void ClapInstance::readParams() noexcept {
    paramsStale = false;
    params.clear();
    const std::uint32_t count = paramsExt != nullptr ? paramsExt->count(plugin) : 0;
    try {
        params.reserve(count);
    } catch (...) {
        lastError = "out of memory for the parameter list";
        return;
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        clap_param_info_t info{};
        if (!paramsExt->get_info(plugin, i, &info)) continue;
        ParamSlot param;
        param.id = info.id;
        param.cookie = info.cookie;
        param.min = info.min_value;
        param.max = info.max_value;
        param.stepped = (info.flags & CLAP_PARAM_IS_STEPPED) != 0;
        param.info.automatable = (info.flags & CLAP_PARAM_IS_AUTOMATABLE) != 0;
        try {
            param.info.name = std::string(info.name, strnlen(info.name, sizeof info.name));
            params.push_back(param); // CLAP carries no unit: info.unit stays empty
        } catch (...) {
            lastError = "out of memory for the parameter list";
            return;
        }
    }
}

void ClapInstance::serveRequests() noexcept {
    if (restartRequested) {
        restartRequested = false;
        if (active) {
            deactivate();
            try {
                activate();
            } catch (...) {
                lastError = "restart: out of memory";
            }
        }
    }
    if (callbackRequested) {
        callbackRequested = false;
        plugin->on_main_thread(plugin);
    }
    if (flushRequested) {
        flushRequested = false;
        events.clear();
        if (paramsExt != nullptr) paramsExt->flush(plugin, &inEvents, &outEvents);
    }
    if (paramsStale) readParams();
    if (latencyStale) {
        latencyStale = false;
        latencyFrames = latencyExt != nullptr ? latencyExt->get(plugin) : 0;
    }
}

bool ClapInstance::start(const StartOptions& startOptions) {
    try {
        serveRequests();
        deactivate();
        if (startOptions.sampleRate <= 0 || startOptions.maxBlock <= 0) {
            lastError = "start: the sample rate and the largest block must be positive";
            return false;
        }
        options = startOptions;
        if (renderExt != nullptr &&
            !renderExt->set(plugin, options.offline ? kRenderOffline : kRenderRealtime)) {
            lastError = options.offline ? "the plug-in refused the offline render mode"
                                        : "the plug-in refused the real-time render mode";
            return false;
        }
        if (!activate()) return false;
        return startOptions.program < 0 || selectProgram(startOptions.program);
    } catch (...) {
        lastError = "start: out of memory";
        return false;
    }
}

bool ClapInstance::activate() {
    // The port layout may only change while inactive, so it is read afresh each time.
    const std::uint32_t portCount = audioPortsExt->count(plugin, false);
    const std::size_t room = std::size_t(options.maxBlock);
    outputPorts.assign(portCount, OutputPort{});
    mainPort = 0;
    bool mainFound = false;
    std::size_t channelTotal = 0;
    for (std::uint32_t i = 0; i < portCount; ++i) {
        clap_audio_port_info_t info{};
        if (!audioPortsExt->get(plugin, i, false, &info)) {
            lastError = "audio_ports.get failed for output port " + std::to_string(i);
            return false;
        }
        outputPorts[i].channels = info.channel_count;
        outputPorts[i].scratch.assign(info.channel_count, std::vector<float>(room, 0.0f));
        channelTotal += info.channel_count;
        if (!mainFound && (info.flags & CLAP_AUDIO_PORT_IS_MAIN) && info.channel_count > 0) {
            mainPort = i;
            mainFound = true;
        }
    }
    if (outputPorts[mainPort].channels == 0) {
        lastError = "the plug-in's main output port has no channels";
        return false;
    }
    channelPointers.assign(channelTotal, nullptr);
    outputBuffers.assign(portCount, clap_audio_buffer_t{});
    for (std::size_t i = 0, at = 0; i < portCount; ++i) {
        outputBuffers[i].data32 = channelPointers.data() + at;
        outputBuffers[i].channel_count = outputPorts[i].channels;
        for (std::size_t c = 0; c < outputPorts[i].channels; ++c)
            channelPointers[at++] = outputPorts[i].scratch[c].data();
    }
    events.reserve(4096);

    if (!plugin->activate(plugin, options.sampleRate, 1, std::uint32_t(options.maxBlock))) {
        lastError = "the plug-in's activate failed";
        return false;
    }
    active = true;
    steadyTime = 0;
    latencyFrames = latencyExt != nullptr ? latencyExt->get(plugin) : 0;
    if (!plugin->start_processing(plugin)) {
        lastError = "the plug-in's start_processing failed";
        deactivate();
        return false;
    }
    processing = true;
    return true;
}

void ClapInstance::deactivate() {
    if (processing) plugin->stop_processing(plugin);
    processing = false;
    if (active) plugin->deactivate(plugin);
    active = false;
}

void ClapInstance::stop() {
    deactivate();
    serveRequests();
}

bool CLAP_ABI ClapInstance::registerTimer(const clap_host_t* host, std::uint32_t,
                                          clap_id* id) noexcept {
    ClapInstance& instance = *self(host);
    if (id == nullptr) return false;
    *id = instance.nextTimer++;
    instance.timers.push_back(*id);
    return true;
}

bool CLAP_ABI ClapInstance::unregisterTimer(const clap_host_t* host, clap_id id) noexcept {
    std::vector<clap_id>& timers = self(host)->timers;
    const auto found = std::find(timers.begin(), timers.end(), id);
    if (found == timers.end()) return false;
    timers.erase(found);
    return true;
}

bool CLAP_ABI ClapInstance::takeOutputEvent(const clap_output_events_t* list,
                                            const clap_event_header_t* event) noexcept {
    ClapInstance& instance = *static_cast<ClapInstance*>(list->ctx);
    if (event == nullptr || event->space_id != CLAP_CORE_EVENT_SPACE_ID) return true;
    clap_id id = CLAP_INVALID_ID;
    PanelEdit edit;
    double plain = 0;
    switch (event->type) {
    case CLAP_EVENT_PARAM_GESTURE_BEGIN:
    case CLAP_EVENT_PARAM_GESTURE_END:
        id = reinterpret_cast<const clap_event_param_gesture_t*>(event)->param_id;
        edit.kind = event->type == CLAP_EVENT_PARAM_GESTURE_BEGIN ? PanelEdit::Kind::Begin
                                                                  : PanelEdit::Kind::End;
        break;
    case CLAP_EVENT_PARAM_VALUE:
        id = reinterpret_cast<const clap_event_param_value_t*>(event)->param_id;
        plain = reinterpret_cast<const clap_event_param_value_t*>(event)->value;
        edit.kind = PanelEdit::Kind::Value;
        break;
    default:
        return true;
    }
    for (std::size_t i = 0; i < instance.params.size(); ++i) {
        const ParamSlot& param = instance.params[i];
        if (param.id != id) continue;
        edit.index = int(i);
        edit.value = param.max > param.min ? (plain - param.min) / (param.max - param.min) : 0;
        instance.recordPanelEdit(edit);
    }
    return true;
}

bool ClapInstance::openPanel(std::uintptr_t parent) {
    closePanel();
    serveRequests();
    const auto* gui =
        static_cast<const clap_plugin_gui_t*>(plugin->get_extension(plugin, CLAP_EXT_GUI));
#if defined(_WIN32)
    const char* api = CLAP_WINDOW_API_WIN32;
#else
    const char* api = CLAP_WINDOW_API_X11;
#endif
    if (gui == nullptr || !gui->is_api_supported(plugin, api, false)) {
        lastError = "the plug-in has no embeddable panel";
        return false;
    }
    if (!gui->create(plugin, api, false)) {
        lastError = "the gui extension's create failed";
        return false;
    }
    keepPanelEditRoom();
    guiExt = gui;
    gui->set_scale(plugin, 1.0);
    std::uint32_t width = 0, height = 0;
    clap_window_t window{};
    window.api = api;
#if defined(_WIN32)
    window.win32 = reinterpret_cast<clap_hwnd>(parent);
#else
    window.x11 = static_cast<clap_xwnd>(parent);
#endif
    if (!gui->get_size(plugin, &width, &height) || !gui->set_parent(plugin, &window) ||
        !gui->show(plugin)) {
        lastError = "the panel did not open in the parent window";
        closePanel();
        return false;
    }
    return true;
}

void ClapInstance::idlePanel() {
    serveRequests();
    const auto* timerExt = static_cast<const clap_plugin_timer_support_t*>(
        plugin->get_extension(plugin, CLAP_EXT_TIMER_SUPPORT));
    if (timerExt == nullptr) return;
    // The list may change inside a callback.
    const std::vector<clap_id> due(timers);
    for (const clap_id id : due)
        timerExt->on_timer(plugin, id);
}

void ClapInstance::closePanel() {
    if (guiExt == nullptr) return;
    guiExt->hide(plugin);
    guiExt->destroy(plugin);
    guiExt = nullptr;
    serveRequests();
}

const ParamSlot* ClapInstance::slot(int index) {
    serveRequests();
    if (index < 0 || std::size_t(index) >= params.size()) return nullptr;
    return &params[std::size_t(index)];
}

double ClapInstance::plainValue(const ParamSlot& param, double normalised) const {
    const double v = std::clamp(normalised, 0.0, 1.0);
    const double plain = param.min + v * (param.max - param.min);
    return param.stepped ? std::round(plain) : plain;
}

int ClapInstance::parameterCount() {
    serveRequests();
    return int(params.size());
}

ParameterInfo ClapInstance::parameterInfo(int index) {
    const ParamSlot* param = slot(index);
    try {
        return param != nullptr ? param->info : ParameterInfo{};
    } catch (...) {
        return ParameterInfo{};
    }
}

double ClapInstance::parameter(int index) {
    const ParamSlot* param = slot(index);
    double plain = 0;
    if (param == nullptr || !paramsExt->get_value(plugin, param->id, &plain)) return 0;
    if (param->max <= param->min) return 0;
    return std::clamp((plain - param->min) / (param->max - param->min), 0.0, 1.0);
}

std::string ClapInstance::parameterDisplay(int index, double value) {
    const ParamSlot* param = slot(index);
    if (param == nullptr) return {};
    const double plain = plainValue(*param, value);
    char text[256] = {};
    if (!paramsExt->value_to_text(plugin, param->id, plain, text, sizeof text))
        std::snprintf(text, sizeof text, "%g", plain); // the plug-in has no text: the number
    try {
        return std::string(text, strnlen(text, sizeof text));
    } catch (...) {
        return {};
    }
}

void ClapInstance::setParameter(int index, double value) {
    const ParamSlot* param = slot(index);
    if (param == nullptr) return;
    events.clear();
    try {
        events.push_back(paramEvent(0, param->id, param->cookie, plainValue(*param, value)));
    } catch (...) {
        lastError = "setParameter: out of memory";
        return;
    }
    paramsExt->flush(plugin, &inEvents, &outEvents);
    events.clear();
}

void ClapInstance::process(const std::vector<MidiEvent>& midi,
                           const std::vector<ParameterChange>& changes, std::int32_t frames,
                           float* left, float* right) {
    if (frames <= 0) return;
    if (!processing) {
        std::fill(left, left + frames, 0.0f);
        std::fill(right, right + frames, 0.0f);
        lastError = "process() while the instance is not started";
        return;
    }
    // Blocks longer than the largest block announced are split, each with its own events.
    std::size_t nextMidi = 0, nextChange = 0;
    for (std::int32_t offset = 0; offset < frames; offset += options.maxBlock) {
        const std::int32_t length = std::min(frames - offset, options.maxBlock);
        const bool last = offset + length >= frames;
        events.clear();
        // Merged by frame; at one frame the parameter changes go before the MIDI.
        while (nextMidi < midi.size() || nextChange < changes.size()) {
            const bool takeChange =
                nextChange < changes.size() &&
                (nextMidi >= midi.size() || changes[nextChange].frame <= midi[nextMidi].frame);
            const std::int32_t frame =
                takeChange ? changes[nextChange].frame : midi[nextMidi].frame;
            if (!last && frame >= offset + length) break;
            const std::uint32_t at = std::uint32_t(std::clamp(frame - offset, 0, length - 1));
            EventSlot event;
            bool valid = true;
            if (takeChange) {
                const ParameterChange& change = changes[nextChange++];
                valid = change.index >= 0 && std::size_t(change.index) < params.size();
                if (valid) {
                    const ParamSlot& param = params[std::size_t(change.index)];
                    event = paramEvent(at, param.id, param.cookie, plainValue(param, change.value));
                }
            } else {
                event = midiEvent(at, midi[nextMidi++]);
            }
            // Room for 4096 events is kept from start(); past that a push allocates, and may fail.
            try {
                if (valid) events.push_back(event);
            } catch (...) {
                lastError = "process: out of memory for the event list";
            }
        }
        runBlock(offset, length, left, right);
    }
    events.clear();
}

void ClapInstance::runBlock(std::int32_t offset, std::int32_t frames, float* left, float* right) {
    const std::size_t count = std::size_t(frames);
    clap_audio_buffer_t& main = outputBuffers[mainPort];
    const bool stereo = main.channel_count >= 2;
    main.data32[0] = left + offset;
    if (stereo) main.data32[1] = right + offset;
    for (clap_audio_buffer_t& port : outputBuffers)
        for (std::uint32_t c = 0; c < port.channel_count; ++c)
            std::fill(port.data32[c], port.data32[c] + count, 0.0f);

    clap_process_t block{};
    block.steady_time = steadyTime;
    block.frames_count = std::uint32_t(frames);
    block.transport = nullptr; // no transport: free running
    block.audio_inputs = nullptr;
    block.audio_inputs_count = 0;
    block.audio_outputs = outputBuffers.data();
    block.audio_outputs_count = std::uint32_t(outputBuffers.size());
    block.in_events = &inEvents;
    block.out_events = &outEvents;
    clap_process_status status = CLAP_PROCESS_CONTINUE;
    timedProcess([&] { status = plugin->process(plugin, &block); });
    if (status == CLAP_PROCESS_ERROR) lastError = "the plug-in's process reported an error";
    steadyTime += frames;
    if (!stereo) // a mono main port plays on both sides
        std::copy(left + offset, left + offset + frames, right + offset);
}

bool ClapInstance::saveState(std::vector<char>& bytes) {
    bytes.clear();
    if (stateExt == nullptr) {
        lastError = "the plug-in has no state extension";
        return false;
    }
    clap_ostream_t stream{};
    stream.ctx = &bytes;
    stream.write = writeStream;
    if (!stateExt->save(plugin, &stream)) {
        lastError = "the plug-in's state save failed";
        return false;
    }
    return true;
}

bool ClapInstance::loadState(const std::string& text) {
    if (stateExt == nullptr) {
        lastError = "the plug-in has no state extension";
        return false;
    }
    ReadStream reader;
    reader.stream.ctx = &reader;
    reader.stream.read = readStream;
    reader.text = &text;
    if (!stateExt->load(plugin, &reader.stream)) {
        lastError = "the plug-in refused the state";
        return false;
    }
    return true;
}

bool ClapInstance::selectProgram(int program) {
    try {
        serveRequests();
        if (program < 0) {
            lastError = "selectProgram: negative program";
            return false;
        }
        // A state holding nothing but the wrapper's program number: it loads that program.
        std::string text;
        appendToken(text, kProgramKey);
        appendToken(text, std::to_string(program));
        appendTerminator(text);
        if (!loadState(text)) return false;
        serveRequests();
        // The wrapper takes any number; the instrument's own "program" tells what it did.
        std::vector<char> bytes;
        if (!saveState(bytes)) return false;
        const SavedState saved = parseState(bytes);
        if (saved.program >= 0 && saved.program != program) {
            lastError = "the plug-in kept program " + std::to_string(saved.program) +
                        " instead of " + std::to_string(program);
            return false;
        }
        return true;
    } catch (...) {
        lastError = "selectProgram: out of memory";
        return false;
    }
}

std::vector<std::uint8_t> ClapInstance::saveBank(int& program) {
    program = -1;
    try {
        serveRequests();
        std::vector<char> bytes;
        if (!saveState(bytes)) return {};
        const SavedState saved = parseState(bytes);
        program = saved.program >= 0 ? saved.program : saved.outerProgram;
        std::vector<std::uint8_t> bank;
        if (!saved.hasBank) {
            lastError = "the saved state has no \"bank\"";
            return {};
        }
        if (!statetext::decodeBase64(saved.bank, bank)) {
            lastError = "the saved state's \"bank\" is not base64";
            return {};
        }
        return bank;
    } catch (...) {
        lastError = "saveBank: out of memory";
        return {};
    }
}

bool ClapInstance::loadBank(const std::vector<std::uint8_t>& bank, int program) {
    try {
        serveRequests();
        std::string text;
        appendToken(text, kStateBegin);
        appendToken(text, "bank");
        appendToken(text, statetext::encodeBase64(bank.data(), bank.size()));
        appendToken(text, "program");
        appendToken(text, std::to_string(program));
        appendToken(text, kStateEnd);
        appendTerminator(text);
        const bool loaded = loadState(text);
        serveRequests();
        return loaded;
    } catch (...) {
        lastError = "loadBank: out of memory";
        return false;
    }
}

} // namespace

std::unique_ptr<Instance> openClapInstance(const std::string& path, std::string& error) {
    try {
        std::shared_ptr<Library> library = Library::open(path, error);
        if (library == nullptr) return nullptr;
        const clap_plugin_factory_t* factory = static_cast<const clap_plugin_factory_t*>(
            library->entry->get_factory(CLAP_PLUGIN_FACTORY_ID));
        if (factory == nullptr || factory->get_plugin_count(factory) == 0) {
            error = path + " lists no plug-in";
            return nullptr;
        }
        const clap_plugin_descriptor_t* descriptor = factory->get_plugin_descriptor(factory, 0);
        if (descriptor == nullptr || descriptor->id == nullptr) {
            error = path + ": the factory gives no descriptor for its first plug-in";
            return nullptr;
        }
        std::unique_ptr<ClapInstance> instance(new ClapInstance(library));
        if (!instance->open(descriptor->id, error)) return nullptr;
        return instance;
    } catch (...) {
        error = "openClapInstance: out of memory";
        return nullptr;
    }
}

} // namespace formathost
