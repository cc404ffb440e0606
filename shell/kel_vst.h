// kelVst: the plug-in object. It translates the host's calls into operations on PluginCore and
// the engines, and owns the MIDI queue, the parameter cache, both engines, the worker and the
// editor.
//
// Two engines. core.engine is the control engine: it holds the bank of 64 programs and the
// derived state of the current one, and only writers touch it, one at a time under
// busy.writers. The audio engine holds the voices and the running effect state and belongs to
// the audio thread. Every writer changes the control engine, then publishes a copy of its
// derived state through the handover; the audio thread installs the newest copy at the start of
// each sub-block. Host calls on a real-time thread never take the lock: they record the new
// value where readers find it at once and queue the rest for the worker (docs/architecture.md).
#pragma once

#include "engine/handover.h"
#include "shell/change_worker.h"
#include "shell/host_requests.h"
#include "shell/plugin_core.h"
#include "vst/audio_effect.h"

#include <atomic>
#include <cstdint>
#include <memory>

/// Events the queue holds between two processReplacing calls; processEvents never grows it
/// (the audio thread allocates nothing) and drops what does not fit.
constexpr std::int32_t kEventQueueCapacity = 8192;

struct OverrideText;

class kelVst : public AudioEffectX {
  public:
    explicit kelVst(audioMasterCallback audioMaster);
    ~kelVst() override;

    void suspend() override;
    void resume() override;
    void setSampleRate(float rate) override;
    void setBlockSize(VstInt32 frames) override;
    void processReplacing(float** inputs, float** outputs, VstInt32 sampleFrames) override;
    VstInt32 processEvents(VstEvents* events) override;

    VstInt32 getProgram() override;
    void setProgram(VstInt32 program) override;
    void getProgramName(char* name) override;
    bool getProgramNameIndexed(VstInt32 category, VstInt32 index, char* text) override;
    void setParameter(VstInt32 index, float value) override;
    float getParameter(VstInt32 index) override;
    void getParameterLabel(VstInt32 index, char* label) override;
    void getParameterDisplay(VstInt32 index, char* text) override;
    void getParameterName(VstInt32 index, char* text) override;
    VstInt32 getChunk(void** data, bool isPreset) override;
    VstInt32 setChunk(void* data, VstInt32 byteSize, bool isPreset) override;
    bool getEffectName(char* name) override;
    bool getVendorString(char* text) override;
    bool getProductString(char* text) override;
    VstInt32 getVendorVersion() override;
    VstInt32 canDo(char* text) override;

    PluginCore& getCore() { return core; }
    BusyFlags& getBusyFlags() { return busy; }
    bool isConstructed() const { return constructed.load() != 0; }
    /// The audio thread's engine (tests look at what the audio thread renders from).
    const SynthEngine& audioEngine() const { return *rendering; }

    /// The editor's knob change: stores v (0..1) as parameter index of the current program,
    /// like setParameter, and marks the knob for repainting. Called on the editor's thread.
    void editParameter(VstInt32 index, float v);
    /// The override file's text matched into the current program and re-applied. Called on the
    /// editor's thread.
    void applyOverride(const OverrideText& text);

  private:
    void initialiseCore();
    void refreshParamCache();
    void requestFullRedraw(bool add);
    void markControlsDirty(int paramIndex);
    bool paramIndexValid(VstInt32 index) const { return index >= 0 && index < core.numParams; }
    std::int32_t currentProgram() const;
    void storeCurrentProgram(std::int32_t program);

    // Writer side: every function below runs with busy.writers held.
    void takeHandedOverChanges();
    void applyProgram(std::int32_t program);
    void applyParameter(int index, float value, std::uint32_t stamp);
    void rebuildForRate(float rate);
    void reapplyCurrent();
    void stampWholeRecords(int first, int count);
    /// Runs change on the control engine, noting whether it made new delay lines (the audio
    /// engine then gets fresh, cleared ones with the next publication).
    template <class Change> void changeEngine(Change&& change) {
        SynthEngine& engine = *core.engine;
        const float* ensembleLine = engine.ensemble.line.get();
        const float* echoLine = engine.echo.line.get();
        change(engine);
        ensembleLineRecreated |= engine.ensemble.line.get() != ensembleLine;
        echoLineRecreated |= engine.echo.line.get() != echoLine;
    }
    void publish();
    static void serviceRequests(void* self);
    /// Queues a request from a real-time thread and wakes the worker.
    void handOver(const HostRequest& request);

    EventQueue eventQueue;
    PluginCore core;
    std::atomic<std::uint8_t> constructed{0};
    BusyFlags busy; // suspended, engineBusy, and the writers' mutex

    // ---- shared between the audio thread and writers, through atomics only ----
    AudioHandover handover;
    HostRequestQueue requests;
    std::atomic<bool> requestsOverflowed{false};
    std::atomic<float> currentRate{44100.0f}; ///< the rate real-time parameter calls limit by

    // ---- audio thread ----
    std::unique_ptr<SynthEngine> rendering;

    // ---- writers, under busy.writers ----
    std::int32_t appliedProgram = 0;   ///< the program the control engine has applied
    bool ensembleLineRecreated = true; ///< since the last publication (the first one included)
    bool echoLineRecreated = true;
    std::uint32_t fieldStamps[kPatchCount][kParameterCount] = {}; ///< when each value was set
    std::unique_ptr<unsigned char[]> chunkCopy;                   ///< what effGetChunk hands out

    ChangeWorker worker; // last: its thread starts once everything above exists
};

/// The override-file loader installed as PluginCore's fileCallback: on a left-button release
/// over the title (index 100) it reads "debug.txt" beside the library into the current program.
void loadPatchOverride(PluginCore* core, std::int32_t index, std::uint32_t message);
