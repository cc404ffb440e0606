// A minimal VST 2.4 host: loads a plug-in library (dlopen / LoadLibrary), calls its entry point
// with a host callback that answers audioMasterVersion with 2400, and drives the record the way
// a DAW does: dispatcher calls, MIDI events, rendering blocks. Used by the tools and the tests.
#pragma once

#include "vst/aeffect.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vsthost {

/// One MIDI message at a frame offset inside the next block.
struct MidiMessage {
    std::int32_t deltaFrames = 0;
    std::uint8_t status = 0;
    std::uint8_t data1 = 0;
    std::uint8_t data2 = 0;
};

/// A loaded library. Instances created from it must be closed before it is destroyed.
class PluginLibrary {
  public:
    /// Loads path; check loaded() and error(). The entry point is VSTPluginMain, else "main".
    explicit PluginLibrary(const std::string& path);
    ~PluginLibrary();
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    bool loaded() const { return handle != nullptr && entry != nullptr; }
    const std::string& error() const { return lastError; }

    using EntryFunction = AEffect* (*)(audioMasterCallback);
    EntryFunction entryPoint() const { return entry; }
    /// The second exported name, "main" (null when absent).
    EntryFunction mainEntryPoint() const { return mainEntry; }

  private:
    void* handle = nullptr;
    EntryFunction entry = nullptr;
    EntryFunction mainEntry = nullptr;
    std::string lastError;
};

/// The host callback: answers audioMasterVersion with 2400 and audioMasterGetCurrentProcessLevel
/// as answerProcessLevel says, and counts every call it receives.
VstIntPtr hostCallback(AEffect* effect, VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr,
                       float opt);
/// What hostCallback answers to audioMasterGetCurrentProcessLevel from now on, in the whole
/// process: a kVstProcessLevel value, or kProcessLevelByPriority (the default) for what a host
/// rendering a file says: realtime on a thread of real-time priority, offline on any other.
constexpr int kProcessLevelByPriority = -1;
void answerProcessLevel(int level);
/// Number of hostCallback calls so far in this process (any opcode).
int hostCallbackCount();

/// One plug-in instance, closed (effClose) by the destructor unless already closed.
class PluginInstance {
  public:
    /// Calls the entry point with hostCallback (or callback when given).
    explicit PluginInstance(const PluginLibrary& library, audioMasterCallback callback = nullptr);
    ~PluginInstance();
    PluginInstance(const PluginInstance&) = delete;
    PluginInstance& operator=(const PluginInstance&) = delete;

    AEffect* effect() const { return fx; }
    bool valid() const { return fx != nullptr; }

    VstIntPtr dispatch(VstInt32 opcode, VstInt32 index = 0, VstIntPtr value = 0,
                       void* ptr = nullptr, float opt = 0.0f);
    /// effMainsChanged 0 when the instance was resumed, then effClose; returns effClose's
    /// answer. The instance is gone afterwards.
    VstIntPtr close();

    /// Sets sample rate and block size, then resumes (effMainsChanged 1).
    void start(float sampleRate, std::int32_t blockSize);
    /// A string opcode's answer (effGetEffectName and the like) into a buffer of room bytes.
    std::string text(VstInt32 opcode, VstInt32 index = 0, std::size_t room = 256);

    /// Sends messages through effProcessEvents as one VstEvents list.
    VstIntPtr sendMidi(const std::vector<MidiMessage>& messages);
    /// Renders frames frames into left and right (resized), through processReplacing.
    void render(std::int32_t frames, std::vector<float>& left, std::vector<float>& right);

    void setParameter(VstInt32 index, float value) { fx->setParameter(fx, index, value); }
    float getParameter(VstInt32 index) { return fx->getParameter(fx, index); }

    /// From now on render() sums the calling thread's CPU time spent inside processReplacing
    /// (only the call itself, not the buffer handling around it). Reading the clock itself
    /// takes CPU time, which a pair of readings around a call also counts; that cost is
    /// measured here, before the first call, and taken off every call's time.
    void measureProcessing();
    /// CPU time summed so far (nanoseconds) less the clock's cost for each call, and the
    /// processReplacing calls it covers.
    std::int64_t processingNanoseconds() const;
    std::int64_t processingCalls() const { return processCalls; }
    /// What one pair of clock readings adds to a call's time (nanoseconds).
    std::int64_t clockPairNanoseconds() const { return clockPairCost; }

  private:
    AEffect* fx = nullptr;
    /// Set by effMainsChanged 1, cleared by effMainsChanged 0.
    bool resumed = false;
    bool measuring = false;
    std::int64_t processingTime = 0;
    std::int64_t processCalls = 0;
    std::int64_t clockPairCost = 0;
};

/// CPU time the calling thread has used so far (nanoseconds): CLOCK_THREAD_CPUTIME_ID on Linux,
/// user plus kernel time from GetThreadTimes on Windows (which counts in 100 ns units but, under
/// Wine, advances in scheduler ticks).
std::int64_t threadCpuNanoseconds();

/// What one pair of threadCpuNanoseconds readings adds to a measured call (nanoseconds).
std::int64_t clockPairNanoseconds();

/// Path of the plug-in binary named by the QUARNEL_PLUGIN environment variable, else fallback.
std::string pluginPathFromEnvironment(const std::string& fallback);

/// The VST 2.4 plug-in a tool plays when told none, found beside the running program: as
/// installed (<prefix>/bin/tool and <prefix>/lib/vst/Quarnel.so) or as built (<build>/tools/tool
/// and <build>/Quarnel.so), the installed one first; "Quarnel.so" when neither exists. No folder
/// is compiled in, so the tools are the same bytes wherever they are built.
std::string defaultPluginPath();

} // namespace vsthost
