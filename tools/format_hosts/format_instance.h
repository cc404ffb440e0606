// One instrument plug-in instance as the tests and tools drive it, whatever format it comes in:
// VST 2.4, VST3, CLAP or LV2. Each format has a small host of its own behind this interface
// (vst2_instance.cpp, vst3_instance.cpp, clap_instance.cpp, lv2_instance.cpp); all of them load
// the plug-in through its entry point as a DAW does and drive it in a DAW's order: open, set the
// rate and the largest block, activate, process blocks, deactivate, close.
//
// Everything happens on the calling thread: the tests call process() from the thread they
// choose (normal or real-time priority) and count what the plug-in does there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace formathost {

enum class Format { Vst2, Vst3, Clap, Lv2 };

/// "vst2", "vst3", "clap", "lv2".
const char* formatName(Format format);

/// One MIDI channel message at a frame of the next block.
struct MidiEvent {
    std::int32_t frame = 0;
    std::uint8_t status = 0;
    std::uint8_t data1 = 0;
    std::uint8_t data2 = 0;
};

/// A parameter change at a frame of the next block. index is the instrument's own parameter
/// number (0..5: "Window", "Modulation", "Atack", "Sustain", "HPF", "LPF"), value the
/// normalised host value 0..1 (the format's own range is the host's business).
struct ParameterChange {
    std::int32_t frame = 0;
    int index = 0;
    double value = 0;
};

struct ParameterInfo {
    std::string name; ///< as the host shows it
    std::string unit; ///< the label or unit, may be empty
    bool automatable = false;
};

/// One step of a parameter gesture the plug-in's own panel sent its host.
struct PanelEdit {
    enum class Kind { Begin, Value, End };
    Kind kind = Kind::Begin;
    int index = 0;    ///< the instrument's parameter number (0..5)
    double value = 0; ///< Value: the normalised value 0..1 (the format's own range converted)
};

/// How the instance is started.
struct StartOptions {
    double sampleRate = 44100;
    std::int32_t maxBlock = 512;
    /// Tell the plug-in it renders offline (VST 2.4: the process level the host reports; VST3:
    /// kOffline process mode; CLAP: the render extension's offline mode; LV2: nothing to tell).
    bool offline = false;
    /// The program selected before processing is activated (VST 2.4: effSetProgram ahead of
    /// effMainsChanged 1; the other formats select it right after activating); -1 for none.
    int program = -1;
};

/// Bytes of one program record in the instrument's bank chunk (the bank is 64 of them, and a
/// single-program .fxp carries one).
constexpr std::size_t kProgramRecordBytes = 328;

/// The format for a plug-in path, told by its suffix: .vst3, .clap, .lv2 (a trailing slash
/// allowed), anything else VST 2.4 (.so, .dll).
Format formatForPath(const std::string& path);
/// The format named "vst2", "vst3", "clap" or "lv2"; false for any other name.
bool formatFromName(const std::string& name, Format& format);

class Instance {
  public:
    virtual ~Instance() = default;

    /// Sets rate and largest block and activates processing. False (see error()) on failure.
    virtual bool start(const StartOptions& options) = 0;
    /// Deactivates processing (the instance may be started again).
    virtual void stop() = 0;

    virtual int programCount() = 0;
    virtual std::string programName(int program) = 0;
    /// The host's program or preset selection, made between blocks. False when refused.
    virtual bool selectProgram(int program) = 0;

    virtual int parameterCount() = 0;
    virtual ParameterInfo parameterInfo(int index) = 0;
    /// The normalised value 0..1 the plug-in reports now.
    virtual double parameter(int index) = 0;
    /// The plug-in's display text for the normalised value.
    virtual std::string parameterDisplay(int index, double value) = 0;
    /// A parameter change made outside processing (a host's GUI thread, between blocks).
    virtual void setParameter(int index, double value) = 0;

    /// Renders frames frames into left and right (each room for frames), with the MIDI events
    /// and the parameter changes given (both sorted by frame, all frames inside the block),
    /// delivered the format's way inside this one process call.
    virtual void process(const std::vector<MidiEvent>& midi,
                         const std::vector<ParameterChange>& changes, std::int32_t frames,
                         float* left, float* right) = 0;

    /// The instrument's bank chunk as this format's saved state carries it (the 64 program
    /// records), and the current program; empty when the state could not be read.
    virtual std::vector<std::uint8_t> saveBank(int& program) = 0;
    /// Restores a state made of a bank chunk and a current program, the format's way. False
    /// when the plug-in refused it.
    virtual bool loadBank(const std::vector<std::uint8_t>& bank, int program) = 0;

    /// Restores one program record (kProgramRecordBytes, as a single-program .fxp carries it;
    /// anything after the first record is ignored)
    /// into the current program slot. VST 2.4 takes it as a program chunk; the other formats
    /// read the bank, replace the current slot's record and load the bank back. False when the
    /// plug-in refused it (see error()).
    virtual bool loadProgram(const std::vector<std::uint8_t>& record);

    /// The VST 2.4 unique ID the plug-in's preset files carry.
    virtual std::int32_t presetId();

    /// From now on process() sums the calling thread's CPU time spent inside the plug-in's own
    /// process call (VST 2.4 processReplacing, VST3 process, CLAP process, LV2 run), not the
    /// host's work of building event lists and buffers around it. What a pair of clock
    /// readings adds to a call is measured here and taken off every call.
    void measureProcessing();
    /// CPU time summed so far, less the clock's cost for each call (nanoseconds).
    std::int64_t processingNanoseconds() const;
    /// The plug-in process calls the sum covers.
    std::int64_t processingCalls() const { return processCalls; }
    /// What one pair of clock readings adds to a call (nanoseconds).
    std::int64_t clockPairNanoseconds() const { return clockPairCost; }

    // ---- the plug-in's own panel, embedded the way the format's hosts embed it ----------------

    /// Opens the panel inside parent (an X11 Window id on Linux, an HWND on Windows). False (see
    /// error()) when the plug-in or this host has none.
    virtual bool openPanel(std::uintptr_t parent);
    /// One turn of a host's user-interface loop for an open panel: what the format lets the
    /// plug-in do there (VST3's run-loop timers on Linux, CLAP's timers, LV2's idle interface).
    /// Windows messages are the caller's to pump.
    virtual void idlePanel() {}
    /// Closes the panel and frees it; nothing when none is open.
    virtual void closePanel() {}
    /// The gesture steps the panel sent since the last call, in order. CLAP sends them from the
    /// process call: process a block first.
    std::vector<PanelEdit> takePanelEdits();

    const std::string& error() const { return lastError; }

  protected:
    /// Notes a gesture step; within the room openPanel keeps, nothing is allocated.
    void recordPanelEdit(const PanelEdit& edit) { panelEdits.push_back(edit); }
    /// Room for the steps of a test's gestures, kept when a panel opens.
    void keepPanelEditRoom() { panelEdits.reserve(kPanelEditRoom); }
    static constexpr std::size_t kPanelEditRoom = 4096;

    /// Runs call (the plug-in's process call), timed when measureProcessing() was called.
    template <typename Call> void timedProcess(Call&& call) {
        if (!measuring) {
            call();
            return;
        }
        const std::int64_t before = threadCpuNanoseconds();
        call();
        processingTime += threadCpuNanoseconds() - before;
        ++processCalls;
    }
    static std::int64_t threadCpuNanoseconds();

    std::string lastError;

  private:
    std::vector<PanelEdit> panelEdits;
    bool measuring = false;
    std::int64_t processingTime = 0;
    std::int64_t processCalls = 0;
    std::int64_t clockPairCost = 0;
};

/// Loads the plug-in at path (a .so or .dll for VST 2.4, a .vst3 bundle folder, a .clap file,
/// a .lv2 bundle folder) and makes one instance. Null on failure, with the reason in error.
std::unique_ptr<Instance> openInstance(Format format, const std::string& path, std::string& error);

} // namespace formathost
