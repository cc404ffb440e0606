// Instrument: the format-neutral instrument every plug-in format wraps. It holds the programs,
// the six parameters, the state as bank and program chunk bytes, the MIDI queue, both engines,
// the hand-over between them and the worker; a format's shell only translates its host's calls
// into these operations (shell/ for VST 2.4, dpf/ for LV2, VST3, CLAP and the standalone).
//
// Two engines. core.engine is the control engine: it holds the bank of 64 programs and the
// derived state of the current one, and only writers touch it, one at a time under
// busy.writers. The audio engine holds the voices and the running effect state and belongs to
// the audio thread (the thread inside process()). Every writer changes the control engine, then
// publishes a copy of its derived state through the handover; the audio thread installs the
// newest copy at the start of each sub-block.
//
// Who may wait. A call on the processing thread, on a real-time thread, or made while the host
// says it is rendering in real time never takes the lock: a parameter change becomes a request
// the audio thread applies itself at the start of its next sub-block, and a program, rate or
// block-size change is queued for the worker. A call the host makes while rendering offline,
// or on any other thread, takes the writers' lock and is heard from the next process call on,
// exactly at its frame (docs/architecture.md).
#pragma once

#include "engine/handover.h"
#include "instrument/change_worker.h"
#include "instrument/host_requests.h"
#include "instrument/identity.h"
#include "instrument/plugin_core.h"
#include "patches/patch.h"
#include "patches/performance_parameters.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

/// Events the queue holds between two process calls; queueMidi never grows it (the audio
/// thread allocates nothing) and drops what does not fit.
constexpr std::int32_t kEventQueueCapacity = 8192;
/// Size of a bank chunk: all 64 records, bytes.
constexpr std::int32_t kBankChunkSize = kPatchRecordSize * kPatchCount;
/// Room a program name takes: 24 characters and the zero.
constexpr int kProgramNameSize = 25;

struct OverrideText;

/// What the host says the calling thread is doing (VST 2.4's process levels).
enum class ProcessLevel : int {
    Unknown = 0,  ///< the host does not say
    User = 1,     ///< a user-interface or other non-audio thread
    Realtime = 2, ///< the audio thread of a real-time render
    Prefetch = 3, ///< a look-ahead render thread that must not wait either
    Offline = 4,  ///< an offline render: exactness matters, waiting does not
};

class Instrument {
  public:
    /// Asks the format's host what the calling thread is doing; may be called on any thread
    /// and must not wait. Null: the host never says.
    using ProcessLevelQuery = ProcessLevel (*)(void* context);

    Instrument();
    /// shutdown().
    ~Instrument();
    /// Suspends, stops the worker, waits until the audio thread has left its last call and
    /// frees the engines (an editor still open then finds no engine). Idempotent.
    void shutdown();
    Instrument(const Instrument&) = delete;
    Instrument& operator=(const Instrument&) = delete;

    /// Installs the host's process-level answer (before processing starts).
    void setProcessLevelQuery(ProcessLevelQuery query, void* context);
    /// Declares (or withdraws) an offline render for hosts that say so once rather than per
    /// call (CLAP's and VST3's render modes). Any thread.
    void setOffline(bool offline) { offlineRender.store(offline); }

    // ---- processing ----------------------------------------------------------------------

    void suspend();
    void resume();
    bool suspended() const { return busy.suspended.load() != 0; }
    /// Rebuilds every table for rate (Hz). Any thread (see "Who may wait").
    void setSampleRate(float rate);
    /// The most frames one engine call renders; the tables are rebuilt too. Any thread.
    void setBlockSize(std::int32_t frames);
    float sampleRate() const { return currentRate.load(); }

    /// Audio thread: queues one MIDI channel message for frame of the next process call. False
    /// when the queue is full or the instrument is suspended (the message is dropped).
    bool queueMidi(std::int32_t frame, std::uint8_t status, std::uint8_t data1, std::uint8_t data2);
    /// Audio thread: renders frames frames into outputs[0] and outputs[1] in stretches between
    /// the queued messages' frames, with denormals flushed; empties the queue. Never waits,
    /// locks, allocates or frees.
    void process(float* const* outputs, std::int32_t frames);

    // ---- programs --------------------------------------------------------------------------

    std::int32_t currentProgram() const;
    /// Selects slot program (0..63; others are ignored).
    void selectProgram(std::int32_t program);
    /// The name of slot program (at most 24 characters) into text (kProgramNameSize bytes);
    /// empty for a slot outside 0..63.
    void programName(std::int32_t program, char* text);

    // ---- parameters --------------------------------------------------------------------------

    /// Host value v (0..1; NaN and values outside are limited) for parameter index of the
    /// current program, mapped as plainParameterValue maps it.
    void setParameter(int index, float v);
    /// A plain value (the parameter's own units, kParameterRanges) for parameter index;
    /// limited to the range and truncated to a whole number first.
    void setPlainParameter(int index, float plain);
    /// The normalised host value 0..1 of parameter index of the current program. Never waits.
    float parameter(int index) const;
    /// The parameter's stored value in its own units (percent, or the cut-off in Hz as the
    /// filter design limits it). Never waits.
    float plainParameter(int index) const;
    /// The display text ("%d" of the stored value) into text (kParameterTextSize bytes).
    void parameterDisplay(int index, char* text) const;
    static bool parameterIndexValid(int index) { return index >= 0 && index < kParameterCount; }

    // ---- state -----------------------------------------------------------------------------

    /// The bank chunk (all 64 records, kBankChunkSize bytes) or the preset chunk (the current
    /// program's record): *data points at a copy that stays as it is until the next call.
    /// Returns its size in bytes.
    std::int32_t getChunk(void** data, bool isPreset);
    /// Restores a bank chunk (up to 64 records) or a preset chunk (into the current slot) of
    /// byteSize bytes; the first record's header must be valid. Returns byteSize when taken,
    /// 0 when refused (the instrument is then unchanged).
    std::int32_t setChunk(const void* data, std::int32_t byteSize, bool isPreset);

    // ---- the editor panel ------------------------------------------------------------------

    /// The panel's knob change: stores v (0..1) as parameter index of the current program and
    /// marks the knob for repainting. Called on the panel's thread.
    void editParameter(int index, float v);
    /// The override file's text matched into the current program and re-applied.
    void applyOverride(const OverrideText& text);
    /// The panel's idle or timer: takes the controller changes (20 and 21) the audio thread
    /// handed over into the bank, the parameter cache and the dirty marks, if the writers' lock
    /// is free at once (else a later call does). Never waits; one atomic load when there are
    /// none. True when a control of the current program was marked.
    bool takeControllerChanges();
    /// The user took hold of (holdParameter) or let go of (releaseParameter, when index is the
    /// one held) parameter index's knob: meanwhile the cache keeps the panel's own value, and
    /// writers only mark the knob.
    void holdParameter(int index);
    void releaseParameter(int index);
    /// The panel's value v (0..1) shown for parameter index before its host has set it (the
    /// framework's formats set parameters through their host): the cache and the knob only.
    void previewParameter(int index, float v);
    /// A host that tells its panel of a parameter change (the framework's parameterChanged):
    /// the cache takes parameter index's current value and its knob is marked and repainted.
    /// Not on the audio thread.
    void showParameterOnPanel(int index);
    /// The same for a program the host loaded: every value, and a full repaint.
    void showProgramOnPanel();

    PluginCore& getCore() { return core; }
    BusyFlags& getBusyFlags() { return busy; }
    bool isConstructed() const { return constructed.load() != 0; }
    /// The audio thread's engine (tests look at what the audio thread renders from).
    const SynthEngine& audioEngine() const { return *rendering; }

  private:
    void refreshParamCache();
    void requestFullRedraw(bool add);
    void markControlsDirty(int paramIndex);
    void storeCurrentProgram(std::int32_t program);
    /// True when the calling thread must not take the lock (see "Who may wait").
    bool mustNotWait() const;
    /// mustNotWait, and for a parameter change also any made while resumed when the host says
    /// nothing of the thread: the audio thread's first block on a thread it has not run on
    /// before may be preceded by changes it must not wait for, and a request is exact anyway.
    bool parameterMustNotWait() const;
    bool onProcessingThread() const;
    ProcessLevel processLevel() const;

    // Writer side: every function below runs with busy.writers held.
    void takeHandedOverChanges();
    /// The controller posts into the bank; for the current program also into the cache and the
    /// dirty marks, with the panel's window invalidated. True when a control was marked.
    bool takeControllerPosts();
    void applyProgram(std::int32_t program);
    void applyParameter(int index, float value, std::uint32_t stamp);
    void applyPlain(int program, int index, float plain, std::uint32_t stamp);
    void rebuildForRate(float rate);
    void reapplyCurrent();
    void stampWholeRecords(int first, int count);
    /// Runs change on the control engine, noting whether it made new delay lines (the audio
    /// engine then gets fresh, cleared ones with the next publication).
    template <class Change> void changeEngine(Change&& change) {
        SynthEngine& engine = *core.engine;
        const std::uint32_t ensembleLine = engine.ensembleLineGeneration;
        const float* echoLine = engine.echo.line.get();
        change(engine);
        ensembleLineRecreated |= engine.ensembleLineGeneration != ensembleLine;
        echoLineRecreated |= engine.echo.line.get() != echoLine;
    }
    void publish();
    static void serviceRequests(void* self);
    /// Queues a request from a thread that must not wait and wakes the worker.
    void handOver(const HostRequest& request);

    EventQueue eventQueue;
    PluginCore core;
    std::atomic<std::uint8_t> constructed{0};
    BusyFlags busy; // suspended, engineBusy, and the writers' mutex

    // ---- shared between the audio thread and writers, through atomics only ----
    AudioHandover handover;
    HostRequestQueue requests;
    std::atomic<bool> requestsOverflowed{false};
    std::atomic<bool> blockSizeRequestLost{false}; ///< a block-size request found the queue full
    std::atomic<float> requestedRate{kDefaultSampleRate}; ///< Hz: the rate asked for last
    std::atomic<bool> closing{false}; ///< shutdown has begun; process() then renders silence
    /// Hz: the rate parameter values are limited by
    std::atomic<float> currentRate{kDefaultSampleRate};
    std::atomic<std::int32_t> blockFrames{1024};    ///< the most frames one engine call renders
    std::atomic<std::uint64_t> processingThread{0}; ///< platform thread id of the last process()
    std::atomic<bool> offlineRender{false};
    ProcessLevelQuery levelQuery = nullptr; ///< set before processing starts, then read only
    void* levelContext = nullptr;

    // ---- audio thread ----
    std::unique_ptr<SynthEngine> rendering;

    // ---- writers, under busy.writers ----
    std::int32_t appliedProgram = 0;   ///< the program the control engine has applied
    bool ensembleLineRecreated = true; ///< since the last publication (the first one included)
    bool echoLineRecreated = true;
    std::uint32_t fieldStamps[kPatchCount][kParameterCount] = {}; ///< when each value was set
    std::unique_ptr<unsigned char[]> chunkCopy;                   ///< what getChunk hands out

    ChangeWorker worker; // last: its thread starts once everything above exists
};

/// The override-file loader installed as PluginCore's fileCallback: on a left-button release
/// over the title (index 100) it reads "debug.txt" beside the library into the current program.
void loadPatchOverride(PluginCore* core, std::int32_t index, std::uint32_t message);
