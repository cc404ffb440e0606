// Construction, teardown, the processing calls and the writer side of the instrument.
#include "instrument/instrument.h"

#include "engine/denormals.h"
#include "instrument/diagnostic_log.h"
#include "patches/patch_application.h"
#include "patches/performance_parameters.h"
#include "patches/sample_rate.h"
#include "platform/platform.h"

#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>
#include <new>

namespace {
/// Build identification string kept in PluginCore.
constexpr const char* kBuildTag = "kel_vst_9050";
/// Characters of the vendor and product strings copied out.
constexpr std::uint8_t kIdentityStringLength = 64;
/// Characters of parameter texts copied out (the VST 2.4 room for them).
constexpr std::uint8_t kParameterStringLength = 8;
} // namespace

const char* nameTable[NameTableSize] = {};
char modulePathBuffer[kModulePathLength] = {};

namespace {
/// Fills the process-wide name table and note frequencies, once for the whole process: other
/// instances may be reading them while a new one is constructed.
void fillProcessTables() {
    static std::once_flag once;
    std::call_once(once, [] {
        nameTable[NameEffect] = identity::kEffectName;
        nameTable[NameVendor] = identity::kVendor;
        nameTable[NameProduct] = identity::kProduct;
        for (int i = 0; i < kParameterCount; ++i) {
            nameTable[NameFirstParameter + 2 * i] = identity::kParameterNames[i];
            nameTable[NameFirstParameter + 2 * i + 1] = identity::kParameterLabels[i];
        }
        fillNoteFrequency();
        platform::libraryPath(modulePathBuffer, sizeof(modulePathBuffer));
    });
}
} // namespace

Instrument::Instrument() : worker(&Instrument::serviceRequests, this) {
    // The flags start with constructed 0, engineBusy 0 and suspended 1. The queue is given its
    // whole capacity now: queueMidi runs on the audio thread and never grows it.
    eventQueue.reserve(kEventQueueCapacity - eventQueue.count - kQueueGrowthSlack);

    core.tag = kBuildTag;
    core.sampleRate = kDefaultSampleRate;
    core.blockSize = blockFrames.load();
    core.inverseSampleRate = 1.0f / core.sampleRate;
    core.flags = kCoreReceivesVstEvents | kCoreReceivesVstMidiEvent | kCoreHasEditor;
    core.vendorStringLength = core.productStringLength = kIdentityStringLength;
    core.paramStringLength = kParameterStringLength;
    core.modulePath = modulePathBuffer;
    for (ChannelState& channel : core.channels)
        resetChannelState(channel);
    fillProcessTables();
    core.names = nameTable;
    core.vendorVersion = identity::kVendorVersion;
    core.numPrograms = kPatchCount;
    core.numParams = kParameterCount;
    core.uniqueId = identity::kUniqueId;
    core.numInputs = core.numOutputs = 2;
    core.isSynth = core.programChunks = 1;
    core.editorWindow = nullptr;
    core.editorWidth = kEditorWidth;
    core.editorHeight = kEditorHeight;
    core.editorScale = 1.0f;
    core.controls = nullptr;
    core.fileCallback = &loadPatchOverride;
    core.redrawAll = 0;
    core.busy = &busy;
    core.owner = this;

    // The engine copies and stamps the 64 bank records, points at slot 0, and gives the voices,
    // filters, effect units, glides and shaper their initial values.
    core.engine = createSynthEngine();
    // The audio thread's engine: voices, running effect state and its copy of what the control
    // engine derives.
    rendering = createSynthEngine();
    // Without memory for either engine or the whole event queue there is no instrument: the
    // construction fails (the entry points give the host none).
    if (!core.engine || !rendering || eventQueue.capacity < kEventQueueCapacity)
        throw std::bad_alloc();
    // The control engine is never rendered: the audio engine's setups carry the only line.
    core.engine->allocatesEnsembleLine = false;
    core.channels[0].bendRange = kChannel1BendRange;
    core.engine->sampleRate = core.sampleRate;
    core.paramCache.reset(new float[static_cast<std::size_t>(core.numParams)]());
    chunkCopy.reset(new unsigned char[static_cast<std::size_t>(kBankChunkSize)]());

    // Build the tables for the default rate now, so that a host rendering before it sets a rate
    // finds them; the host's first rate or block-size notification rebuilds them. No audio
    // thread runs yet, so the audio engine takes them over at once.
    {
        std::lock_guard<std::mutex> lock(busy.writers);
        rebuildForRate(core.sampleRate);
        publish();
        // Without a first setup the audio engine would have nothing to render from: a
        // construction that could not make one fails as one without memory does.
        if (!handover.hasPending()) throw std::bad_alloc();
        handover.adoptNewest(*rendering);
        handover.reclaim();
    }
    constructed.store(1);
}

Instrument::~Instrument() {
    shutdown();
}

void Instrument::shutdown() {
    busy.suspended.store(1);
    // The handshake with process(): it raises engineBusy and then looks at closing, this side
    // raises closing and then looks at engineBusy (both sequentially consistent). Either the
    // audio thread sees closing and leaves without touching the engines, or this side sees it
    // busy and waits for it to leave; after the wait no call can reach them any more.
    closing.store(true);
    worker.stop();
    while (busy.engineBusy.load() != 0)
        platform::yieldThread();
    {
        // An editor paint checks for the engine and the cache under the same lock.
        std::lock_guard<std::mutex> lock(busy.writers);
        core.engine.reset();
        rendering.reset();
        eventQueue.clear();
        core.paramCache.reset();
    }
    writeLog(nullptr);
}

void Instrument::setProcessLevelQuery(ProcessLevelQuery query, void* context) {
    levelQuery = query;
    levelContext = context;
}

void Instrument::suspend() {
    busy.suspended.store(1);
}

void Instrument::resume() {
    busy.suspended.store(0);
}

ProcessLevel Instrument::processLevel() const {
    if (offlineRender.load()) return ProcessLevel::Offline;
    return levelQuery ? levelQuery(levelContext) : ProcessLevel::Unknown;
}

bool Instrument::onProcessingThread() const {
    return processingThread.load(std::memory_order_relaxed) == platform::currentThreadId();
}

bool Instrument::mustNotWait() const {
    switch (processLevel()) {
    case ProcessLevel::Offline:
        return false;
    case ProcessLevel::Realtime:
    case ProcessLevel::Prefetch:
        return true;
    default:
        return onProcessingThread() || platform::isRealtimeThread();
    }
}

bool Instrument::parameterMustNotWait() const {
    // A request is exact at the next block from any thread, so taking one where a lock would
    // do costs nothing; a program change is not taken so, as it would lose its frame.
    const ProcessLevel level = processLevel();
    if (level == ProcessLevel::Unknown && busy.suspended.load() == 0) return true;
    return mustNotWait();
}

void Instrument::setSampleRate(float rate) {
    requestedRate.store(rate);
    if (mustNotWait()) {
        handOver({HostRequestKind::SampleRate, 0, rate, 0});
        return;
    }
    std::lock_guard<std::mutex> lock(busy.writers);
    if (!core.engine) return;
    takeHandedOverChanges();
    rebuildForRate(rate);
    publish();
}

void Instrument::setBlockSize(std::int32_t frames) {
    // The render loop needs a positive sub-block length: a size below one frame keeps the old
    // one (the tables are rebuilt all the same, as for any block-size notification).
    if (frames >= 1) {
        blockFrames.store(frames);
        std::atomic_ref<std::int32_t>(core.blockSize).store(frames);
    }
    if (mustNotWait()) {
        handOver({HostRequestKind::BlockSize, frames, 0.0f, 0});
        return;
    }
    std::lock_guard<std::mutex> lock(busy.writers);
    if (!core.engine) return;
    takeHandedOverChanges();
    rebuildForRate(core.sampleRate);
    publish();
}

bool Instrument::queueMidi(std::int32_t frame, std::uint8_t status, std::uint8_t data1,
                           std::uint8_t data2) {
    if (busy.suspended.load() || eventQueue.count >= eventQueue.capacity) return false;
    eventQueue.push({frame, status, data1, data2});
    return true;
}

void Instrument::process(float* const* outputs, std::int32_t frames) {
    busy.engineBusy.store(1);
    if (closing.load()) {
        // Teardown has begun (see shutdown): silence, and nothing of the engines is touched.
        busy.engineBusy.store(0);
        for (int channel = 0; channel < 2 && outputs && frames > 0; ++channel)
            if (outputs[channel])
                std::memset(outputs[channel], 0, static_cast<std::size_t>(frames) * sizeof(float));
        return;
    }
    processingThread.store(platform::currentThreadId(), std::memory_order_relaxed);
    {
        ScopedFlushDenormals flushDenormals;
        // Every call consumes the queue: the block walk dispatches the events even when there
        // are no frames or no buffers to render into.
        if (rendering)
            processBlock(eventQueue, core.channels, busy, *rendering, outputs,
                         frames > 0 ? frames : 0, blockFrames.load(), &handover);
    }
    busy.engineBusy.store(0);
}

// ---- the writer side -----------------------------------------------------------------------

void Instrument::rebuildForRate(float rate) {
    core.inverseSampleRate = 1.0f / rate;
    changeEngine([&](SynthEngine& engine) { changeSampleRate(engine, rate); });
    core.sampleRate = rate;
    currentRate.store(rate);
}

void Instrument::reapplyCurrent() {
    changeEngine(
        [&](SynthEngine& engine) { applyPatch(engine, kRebuildCurrentPatch, appliedProgram); });
}

void Instrument::applyProgram(std::int32_t program) {
    changeEngine([&](SynthEngine& engine) { applyPatch(engine, program, appliedProgram); });
    appliedProgram = program;
    refreshParamCache();
    requestFullRedraw(false);
}

void Instrument::applyParameter(int index, float value, std::uint32_t stamp) {
    // A change made earlier than the one the parameter holds arrived late (its caller waited
    // for the lock longer): the later one stays.
    if (!stampIsNewer(stamp, fieldStamps[appliedProgram][index])) return;
    setPerformanceParameter(*core.engine, index, value, core.sampleRate);
    fieldStamps[appliedProgram][index] = stamp;
    const float cached = core.paramCache[index];
    if (value == cached || std::isnan(value) || std::isnan(cached)) return;
    refreshCachedParameter(core, index, value);
    markControlsDirty(index);
}

void Instrument::applyPlain(int program, int index, float plain, std::uint32_t stamp) {
    if (!stampIsNewer(stamp, fieldStamps[program][index])) return;
    fieldStamps[program][index] = stamp;
    SynthEngine& engine = *core.engine;
    if (program != appliedProgram) {
        storePlainParameter(engine.patches[program], index, plain);
        return;
    }
    applyPlainParameter(engine, index, plain, core.sampleRate);
    char text[kParameterTextSize];
    refreshCachedParameter(core, index, describePerformanceParameter(engine, index, text));
    markControlsDirty(index);
}

void Instrument::stampWholeRecords(int first, int count) {
    for (int program = first; program < first + count && program < kPatchCount; ++program)
        for (std::uint32_t& stamp : fieldStamps[program])
            stamp = handover.nextStamp();
}

bool Instrument::takeControllerPosts() {
    SynthEngine& engine = *core.engine;
    bool marked = false;
    // Controller changes the audio thread made to the live patch: the newer of a post and the
    // bank's own value wins.
    handover.takeControllerPosts(
        [&](int program, int field, std::int8_t value, std::uint32_t stamp) {
            const int index = field == LiveModulation ? ParamModulation : ParamAttack;
            if (!stampIsNewer(stamp, fieldStamps[program][index])) return;
            fieldStamps[program][index] = stamp;
            Patch& patch = engine.patches[program];
            (field == LiveModulation ? patch.modulation : patch.attack) = value;
            if (program != appliedProgram || !core.paramCache) return;
            // The panel shows the current program's values from the cache.
            char text[kParameterTextSize];
            refreshCachedParameter(core, index, describePerformanceParameter(engine, index, text));
            markControlsDirty(index);
            marked = true;
        });
    if (marked && core.editorWindow) platform::invalidateWindow(core.editorWindow);
    return marked;
}

bool Instrument::takeControllerChanges() {
    if (!handover.controllersPending()) return false;
    // The panel's thread must not wait here for a writer, nor make one wait: whoever holds the
    // lock takes the posts itself, and a later call finds them if nobody did.
    std::unique_lock<std::mutex> lock(busy.writers, std::try_to_lock);
    if (!lock.owns_lock() || !core.engine) return false;
    return takeControllerPosts();
}

void Instrument::takeHandedOverChanges() {
    SynthEngine& engine = *core.engine;
    takeControllerPosts();
    // Parameter changes made where no lock may be taken: the audio thread has applied those of
    // the program it plays; the bank takes them all.
    handover.takeParameterRequests([&](int program, int index, float plain, std::uint32_t stamp) {
        applyPlain(program, index, plain, stamp);
    });
    // Host calls made where no lock may be taken, in the order they were made.
    HostRequest request;
    while (requests.pop(request)) {
        switch (request.kind) {
        case HostRequestKind::Program:
            applyProgram(request.index);
            break;
        case HostRequestKind::Parameter:
            applyParameter(request.index, request.value, request.stamp);
            break;
        case HostRequestKind::SampleRate:
            rebuildForRate(request.value);
            break;
        case HostRequestKind::BlockSize:
            rebuildForRate(core.sampleRate);
            break;
        }
    }
    if (requestsOverflowed.exchange(false)) {
        // Requests were lost to a full queue: catch up with what the host asked for last. The
        // rate is the last one asked for; a lost block-size change rebuilds the tables as its
        // request would have (a rate change rebuilds them anyway).
        const float rate = requestedRate.load();
        const bool blockChangeLost = blockSizeRequestLost.exchange(false);
        if (rate != core.sampleRate || blockChangeLost) rebuildForRate(rate);
        const std::int32_t program = currentProgram();
        if (program != appliedProgram) applyProgram(program);
        for (int index = 0; index < kParameterCount; ++index) {
            const float wanted = handover.parameter(program, index);
            char text[kParameterTextSize];
            if (describePerformanceParameter(engine, index, text) !=
                normalisedParameter(index, wanted))
                applyParameter(index, normalisedParameter(index, wanted), handover.nextStamp());
        }
    }
}

void Instrument::publish() {
    SynthEngine& engine = *core.engine;
    std::unique_ptr<EngineSetup> setup(new (std::nothrow) EngineSetup);
    if (setup &&
        captureSetup(engine, appliedProgram, *setup, ensembleLineRecreated, echoLineRecreated)) {
        for (int index = 0; index < kParameterCount; ++index)
            setup->parameterStamps[index] = fieldStamps[appliedProgram][index];
        handover.publish(std::move(setup));
        ensembleLineRecreated = echoLineRecreated = false;
    }
    handover.reclaim();
    // The parameter values every thread reads: each slot's, with the stamp of its last change.
    for (int program = 0; program < kPatchCount; ++program) {
        for (int index = 0; index < kParameterCount; ++index) {
            const float value =
                program == appliedProgram && index >= ParamHighPass
                    ? (index == ParamHighPass ? engine.hpf.frequency : engine.lpf.frequency)
                    : patchParameterValue(engine.patches[program], index, engine.sampleRate);
            handover.storeParameter(program, index, value, fieldStamps[program][index]);
        }
    }
}

void Instrument::handOver(const HostRequest& request) {
    if (!requests.push(request)) {
        if (request.kind == HostRequestKind::BlockSize) blockSizeRequestLost.store(true);
        requestsOverflowed.store(true);
    }
    worker.wake();
}

void Instrument::serviceRequests(void* self) {
    auto& plugin = *static_cast<Instrument*>(self);
    std::lock_guard<std::mutex> lock(plugin.busy.writers);
    if (!plugin.core.engine) return;
    plugin.takeHandedOverChanges();
    plugin.publish();
}
