// A stand-in instrument for the render tool's tests. It records every call the host makes in a
// trace, written at effClose to the file named by the PROBE_TRACE environment variable, one
// call per line:
//   open | close | rate <Hz> | block <frames> | program <n> | mains <value> | process <frames>
//   events <count> <offset>:<status> <data1> <data2> ... (hex bytes; "sysex" for type 6,
//   "null" for a null list) | opcode <number> for any other dispatcher call
// and it answers processReplacing with a signal that encodes what it received:
//   left: velocity / 64 at the frame of each note-on (NaN for note number 0), 0 elsewhere;
//   right: (current program + 1) / 16 on every frame.
// With PROBE_SLOW set, every processReplacing call sleeps a millisecond; with PROBE_BUSY_US set
// to a number, every call also keeps the processor busy until the thread has used that many
// microseconds of CPU time.
//
// Compile definitions make the failing variants: PROBE_NOT_AN_INSTRUMENT clears
// effFlagsIsSynth, PROBE_NULL_ENTRY makes the entry point return no effect. PROBE_MAIN_ONLY
// exports the entry point as "main" instead of VSTPluginMain.

#include "vst/aeffect.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kProgramCount = 8;
const char* const kProgramNames[kProgramCount] = {
    "Sine", "Soft Pad", "Bright Lead", "Glass Bell", "", "Soft Pad", "", "Last One"};
/// Unique ID 'Prob'.
constexpr VstInt32 kProbeId = 0x50726F62;
/// Left-channel scale: an impulse of velocity / kVelocityScale marks each note-on.
constexpr float kVelocityScale = 64.0f;
/// Right-channel scale: (program + 1) / kProgramScale on every frame.
constexpr float kProgramScale = 16.0f;

struct Probe {
    AEffect effect{};
    std::string trace;
    int program = 0;
    std::vector<VstMidiEvent> pending;
    bool slow = false;
    long busyNanoseconds = 0;
};

Probe* probeOf(AEffect* effect) {
    return static_cast<Probe*>(effect->object);
}

long threadCpuNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1000000000L + now.tv_nsec;
}

void keepBusy(long nanoseconds) {
    const long until = threadCpuNanoseconds() + nanoseconds;
    while (threadCpuNanoseconds() < until) {
    }
}

void line(Probe& probe, const std::string& text) {
    probe.trace += text;
    probe.trace += '\n';
}

void traceEvents(Probe& probe, const VstEvents* events) {
    if (events == nullptr) {
        line(probe, "events null");
        return;
    }
    std::string text = "events " + std::to_string(events->numEvents);
    for (VstInt32 i = 0; i < events->numEvents; ++i) {
        const VstEvent* event = events->events[i];
        if (event->type == kVstSysExType) {
            text += " sysex";
            continue;
        }
        if (event->type != kVstMidiType) {
            text += " type" + std::to_string(event->type);
            continue;
        }
        VstMidiEvent midi;
        std::memcpy(&midi, event, sizeof midi);
        char item[48];
        std::snprintf(item, sizeof item, " %d:%02x %02x %02x", midi.deltaFrames,
                      static_cast<unsigned char>(midi.midiData[0]),
                      static_cast<unsigned char>(midi.midiData[1]),
                      static_cast<unsigned char>(midi.midiData[2]));
        text += item;
        probe.pending.push_back(midi);
    }
    line(probe, text);
}

void writeTrace(const Probe& probe) {
    const char* path = std::getenv("PROBE_TRACE");
    if (path == nullptr || *path == '\0') return;
    if (std::FILE* file = std::fopen(path, "w")) {
        std::fwrite(probe.trace.data(), 1, probe.trace.size(), file);
        std::fclose(file);
    }
}

VstIntPtr dispatcher(AEffect* effect, VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr,
                     float opt) {
    Probe& probe = *probeOf(effect);
    switch (opcode) {
    case effOpen:
        line(probe, "open");
        return 0;
    case effClose:
        line(probe, "close");
        writeTrace(probe);
        delete &probe;
        return 0;
    case effSetProgram:
        line(probe, "program " + std::to_string(value));
        if (value >= 0 && value < kProgramCount) probe.program = static_cast<int>(value);
        return 0;
    case effGetProgram:
        return probe.program;
    case effGetProgramNameIndexed: {
        const char* name = (index >= 0 && index < kProgramCount) ? kProgramNames[index] : "";
        std::strcpy(static_cast<char*>(ptr), name);
        return 1;
    }
    case effSetSampleRate: {
        char text[64];
        std::snprintf(text, sizeof text, "rate %g", static_cast<double>(opt));
        line(probe, text);
        return 0;
    }
    case effSetBlockSize:
        line(probe, "block " + std::to_string(value));
        return 0;
    case effMainsChanged:
        line(probe, "mains " + std::to_string(value));
        return 0;
    case effProcessEvents:
        traceEvents(probe, static_cast<const VstEvents*>(ptr));
        return 1;
    default:
        line(probe, "opcode " + std::to_string(opcode));
        return 0;
    }
}

void processReplacing(AEffect* effect, float**, float** outputs, VstInt32 frames) {
    Probe& probe = *probeOf(effect);
    line(probe, "process " + std::to_string(frames));
    const float programLevel = static_cast<float>(probe.program + 1) / kProgramScale;
    for (VstInt32 i = 0; i < frames; ++i) {
        outputs[0][i] = 0.0f;
        outputs[1][i] = programLevel;
    }
    for (const VstMidiEvent& midi : probe.pending) {
        const auto status = static_cast<unsigned char>(midi.midiData[0]);
        const auto note = static_cast<unsigned char>(midi.midiData[1]);
        const auto velocity = static_cast<unsigned char>(midi.midiData[2]);
        if ((status & 0xF0) != 0x90 || velocity == 0 || frames <= 0) continue;
        const VstInt32 at =
            midi.deltaFrames < 0 ? 0 : (midi.deltaFrames >= frames ? frames - 1 : midi.deltaFrames);
        outputs[0][at] = note == 0 ? std::numeric_limits<float>::quiet_NaN()
                                   : static_cast<float>(velocity) / kVelocityScale;
    }
    probe.pending.clear();
    if (probe.busyNanoseconds > 0) keepBusy(probe.busyNanoseconds);
    if (probe.slow) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void process(AEffect*, float**, float**, VstInt32) {}
void setParameter(AEffect*, VstInt32, float) {}
float getParameter(AEffect*, VstInt32) {
    return 0.0f;
}

} // namespace

#if defined(PROBE_MAIN_ONLY)
// The entry point under the older name only, as plug-ins built for old hosts export it.
extern "C" __attribute__((visibility("default"))) AEffect*
probeEntry(audioMasterCallback host) __asm__("main");
extern "C" AEffect* probeEntry(audioMasterCallback host) {
#else
extern "C" __attribute__((visibility("default"))) AEffect* VSTPluginMain(audioMasterCallback host) {
#endif
    if (host == nullptr || host(nullptr, audioMasterVersion, 0, 0, nullptr, 0.0f) == 0)
        return nullptr;
#if defined(PROBE_NULL_ENTRY)
    constexpr bool kReturnsNoEffect = true;
#else
    constexpr bool kReturnsNoEffect = false;
#endif
    if (kReturnsNoEffect) return nullptr;
    auto* probe = new Probe;
    probe->slow = std::getenv("PROBE_SLOW") != nullptr;
    if (const char* busy = std::getenv("PROBE_BUSY_US"))
        probe->busyNanoseconds = std::atol(busy) * 1000;
    AEffect& fx = probe->effect;
    fx.magic = kEffectMagic;
    fx.dispatcher = &dispatcher;
    fx.process = &process;
    fx.setParameter = &setParameter;
    fx.getParameter = &getParameter;
    fx.numPrograms = kProgramCount;
    fx.numParams = 0;
    fx.numInputs = 2;
    fx.numOutputs = 2;
#if defined(PROBE_NOT_AN_INSTRUMENT)
    fx.flags = effFlagsCanReplacing;
#else
    fx.flags = effFlagsCanReplacing | effFlagsIsSynth;
#endif
    fx.ioRatio = 1.0f;
    fx.object = probe;
    fx.uniqueID = kProbeId;
    fx.version = 1;
    fx.processReplacing = &processReplacing;
    return &fx;
}
