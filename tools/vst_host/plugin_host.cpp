#include "tools/vst_host/plugin_host.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <sched.h>
#endif

namespace vsthost {

namespace {
std::atomic<int> callbackCalls{0};
std::atomic<int> answeredLevel{kProcessLevelByPriority};

/// True when the calling thread runs at real-time priority (a host's audio device thread).
bool realtimeThread() {
#if defined(_WIN32)
    const int priority = GetThreadPriority(GetCurrentThread());
    return priority != THREAD_PRIORITY_ERROR_RETURN && priority >= THREAD_PRIORITY_HIGHEST;
#else
    const int policy = sched_getscheduler(0) & ~SCHED_RESET_ON_FORK;
    return policy == SCHED_FIFO || policy == SCHED_RR;
#endif
}

#if !defined(_WIN32)
/// The first bytes of a Windows executable or DLL.
constexpr char kWindowsImageMark[2] = {'M', 'Z'};

bool isWindowsImage(const std::string& path) {
    char start[sizeof kWindowsImageMark] = {};
    std::ifstream in(path, std::ios::binary);
    in.read(start, sizeof start);
    return in && std::memcmp(start, kWindowsImageMark, sizeof start) == 0;
}
#endif

void* openLibrary(const std::string& path, std::string& error) {
#if defined(_WIN32)
    HMODULE module = LoadLibraryA(path.c_str());
    if (!module) error = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
    return reinterpret_cast<void*>(module);
#else
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* message = dlerror();
        error = message ? message : ("cannot load " + path);
    }
    return handle;
#endif
}

void* findSymbol(void* handle, const char* name) {
#if defined(_WIN32)
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name));
#else
    return dlsym(handle, name);
#endif
}

void closeLibrary(void* handle) {
#if defined(_WIN32)
    FreeLibrary(static_cast<HMODULE>(handle));
#else
    dlclose(handle);
#endif
}
} // namespace

PluginLibrary::PluginLibrary(const std::string& path) {
#if !defined(_WIN32)
    if (isWindowsImage(path)) {
        lastError = path + " is a Windows plug-in (DLL); this tool loads Linux .so plug-ins";
        return;
    }
#endif
    handle = openLibrary(path, lastError);
    if (!handle) return;
    mainEntry = reinterpret_cast<EntryFunction>(findSymbol(handle, "main"));
    entry = reinterpret_cast<EntryFunction>(findSymbol(handle, "VSTPluginMain"));
    // Plug-ins built for older hosts export their entry point only under the name "main".
    if (!entry) entry = mainEntry;
    if (!entry) {
        lastError = path + " has no VSTPluginMain (nor main) entry point: not a VST 2.4 plug-in";
    }
}

PluginLibrary::~PluginLibrary() {
    if (handle) closeLibrary(handle);
}

VstIntPtr hostCallback(AEffect*, VstInt32 opcode, VstInt32, VstIntPtr, void*, float) {
    callbackCalls.fetch_add(1);
    if (opcode == audioMasterVersion) return kVstVersion;
    if (opcode == audioMasterGetCurrentProcessLevel) {
        const int level = answeredLevel.load();
        if (level != kProcessLevelByPriority) return level;
        return realtimeThread() ? kVstProcessLevelRealtime : kVstProcessLevelOffline;
    }
    return 0;
}

void answerProcessLevel(int level) {
    answeredLevel.store(level);
}

int hostCallbackCount() {
    return callbackCalls.load();
}

PluginInstance::PluginInstance(const PluginLibrary& library, audioMasterCallback callback) {
    if (!library.loaded()) return;
    fx = library.entryPoint()(callback ? callback : &hostCallback);
    if (fx && fx->magic != kEffectMagic) fx = nullptr;
}

PluginInstance::~PluginInstance() {
    if (fx) close();
}

VstIntPtr PluginInstance::dispatch(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr,
                                   float opt) {
    if (!fx) return 0;
    if (opcode == effMainsChanged) resumed = value != 0;
    return fx->dispatcher(fx, opcode, index, value, ptr, opt);
}

VstIntPtr PluginInstance::close() {
    if (!fx) return 0;
    // Only a resumed plug-in is suspended first: some assert on a suspend they never resumed.
    if (resumed) dispatch(effMainsChanged, 0, 0);
    VstIntPtr result = fx->dispatcher(fx, effClose, 0, 0, nullptr, 0.0f);
    fx = nullptr;
    return result;
}

void PluginInstance::start(float sampleRate, std::int32_t blockSize) {
    dispatch(effSetSampleRate, 0, 0, nullptr, sampleRate);
    dispatch(effSetBlockSize, 0, blockSize);
    dispatch(effMainsChanged, 0, 1);
}

std::string PluginInstance::text(VstInt32 opcode, VstInt32 index, std::size_t room) {
    std::string buffer(room, '\0');
    dispatch(opcode, index, 0, buffer.data());
    buffer.resize(std::strlen(buffer.c_str()));
    return buffer;
}

VstIntPtr PluginInstance::sendMidi(const std::vector<MidiMessage>& messages) {
    if (messages.empty()) return dispatch(effProcessEvents, 0, 0, nullptr);
    std::vector<VstMidiEvent> events(messages.size());
    std::size_t bytes = offsetof(VstEvents, events) + messages.size() * sizeof(VstEvent*);
    std::unique_ptr<unsigned char[]> storage(new unsigned char[bytes]());
    auto* list = reinterpret_cast<VstEvents*>(storage.get());
    list->numEvents = static_cast<VstInt32>(messages.size());
    for (std::size_t i = 0; i < messages.size(); ++i) {
        VstMidiEvent& e = events[i];
        std::memset(&e, 0, sizeof(e));
        e.type = kVstMidiType;
        e.byteSize = sizeof(VstMidiEvent);
        e.deltaFrames = messages[i].deltaFrames;
        e.midiData[0] = static_cast<char>(messages[i].status);
        e.midiData[1] = static_cast<char>(messages[i].data1);
        e.midiData[2] = static_cast<char>(messages[i].data2);
        list->events[i] = reinterpret_cast<VstEvent*>(&e);
    }
    return dispatch(effProcessEvents, 0, 0, list);
}

void PluginInstance::render(std::int32_t frames, std::vector<float>& left,
                            std::vector<float>& right) {
    left.assign(static_cast<std::size_t>(frames), 0.0f);
    right.assign(static_cast<std::size_t>(frames), 0.0f);
    std::vector<float> inLeft(static_cast<std::size_t>(frames), 0.0f);
    std::vector<float> inRight(static_cast<std::size_t>(frames), 0.0f);
    float* inputs[2] = {inLeft.data(), inRight.data()};
    float* outputs[2] = {left.data(), right.data()};
    if (!fx) return;
    if (!measuring) {
        fx->processReplacing(fx, inputs, outputs, frames);
        return;
    }
    const std::int64_t before = threadCpuNanoseconds();
    fx->processReplacing(fx, inputs, outputs, frames);
    processingTime += threadCpuNanoseconds() - before;
    ++processCalls;
}

std::int64_t clockPairNanoseconds() {
    // The median of many back-to-back pairs: what a pair adds when nothing runs between its
    // readings, unmoved by the odd pair that an interrupt lengthens.
    constexpr int kPairs = 1001;
    std::vector<std::int64_t> pairs(kPairs);
    for (std::int64_t& pair : pairs) {
        const std::int64_t first = threadCpuNanoseconds();
        pair = threadCpuNanoseconds() - first;
    }
    std::nth_element(pairs.begin(), pairs.begin() + kPairs / 2, pairs.end());
    return std::max<std::int64_t>(0, pairs[kPairs / 2]);
}

void PluginInstance::measureProcessing() {
    clockPairCost = clockPairNanoseconds();
    measuring = true;
}

std::int64_t PluginInstance::processingNanoseconds() const {
    return std::max<std::int64_t>(0, processingTime - processCalls * clockPairCost);
}

std::int64_t threadCpuNanoseconds() {
#if defined(_WIN32)
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return 0;
    const auto ticks = [](const FILETIME& time) {
        return (static_cast<std::int64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    };
    constexpr std::int64_t kNanosecondsPerTick = 100;
    return (ticks(kernel) + ticks(user)) * kNanosecondsPerTick;
#else
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    constexpr std::int64_t kNanosecondsPerSecond = 1000000000;
    return static_cast<std::int64_t>(now.tv_sec) * kNanosecondsPerSecond + now.tv_nsec;
#endif
}

std::string pluginPathFromEnvironment(const std::string& fallback) {
    const char* path = std::getenv("QUARNEL_PLUGIN");
    return (path && *path) ? std::string(path) : fallback;
}

std::string defaultPluginPath() {
    constexpr const char* kPluginName = "Quarnel.so";
#if !defined(_WIN32)
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        const std::filesystem::path up = program.parent_path().parent_path();
        for (const std::filesystem::path& candidate :
             {up / "lib" / "vst" / kPluginName, up / kPluginName})
            if (std::filesystem::is_regular_file(candidate, error)) return candidate.string();
    }
#endif
    return kPluginName;
}

} // namespace vsthost
