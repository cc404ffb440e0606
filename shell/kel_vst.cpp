// Construction, teardown and the rate, block-size and suspend hooks of the plug-in object.
#include "shell/kel_vst.h"

#include "patches/patch_application.h"
#include "patches/performance_parameters.h"
#include "patches/sample_rate.h"
#include "platform/platform.h"
#include "shell/diagnostic_log.h"
#include "shell/editor_factory.h"
#include "vst/aeff_editor.h"

#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>
#include <new>

namespace {
/// Build identification string kept in PluginCore.
constexpr const char* kBuildTag = "kel_vst_9050";
/// Editor size before the instrument's own configuration replaces it.
constexpr std::int32_t kDefaultEditorWidth = 512;
constexpr std::int32_t kDefaultEditorHeight = 256;
/// Characters of the vendor and product strings copied out.
constexpr std::uint8_t kIdentityStringLength = 64;
} // namespace

const char* nameTable[NameTableSize] = {};
char modulePathBuffer[kModulePathLength] = {};

namespace {
/// Fills the process-wide name table and note frequencies, once for the whole process: other
/// instances may be reading them while a new one is constructed.
void fillProcessTables() {
    static std::once_flag once;
    std::call_once(once, [] {
        static const char* const entries[NameTableSize] = {"kelvar(Quarnel)",
                                                           "kel",
                                                           "Quarnel",
                                                           "Window",
                                                           "[%]",
                                                           "Modulation",
                                                           "[%]",
                                                           "Atack",
                                                           "[%]",
                                                           "Sustain",
                                                           "[%]",
                                                           "HPF",
                                                           "[Hz]",
                                                           "LPF",
                                                           "[Hz]"};
        for (int i = 0; i < NameTableSize; ++i)
            nameTable[i] = entries[i];
        fillNoteFrequency();
        platform::libraryPath(modulePathBuffer, sizeof(modulePathBuffer));
    });
}
} // namespace

kelVst::kelVst(audioMasterCallback audioMaster)
    : AudioEffectX(audioMaster, 0, 0), worker(&kelVst::serviceRequests, this) {
    // The flags start with constructed 0, engineBusy 0 and suspended 1. The queue is given its
    // whole capacity now: processEvents runs on the audio thread and never grows it.
    eventQueue.reserve(kEventQueueCapacity - eventQueue.count - kQueueGrowthSlack);

    core.tag = kBuildTag;
    core.sampleRate = sampleRate;
    core.blockSize = blockSize;
    core.inverseSampleRate = 1.0f / core.sampleRate;
    core.flags = kCoreReceivesVstEvents | kCoreReceivesVstMidiEvent;
    core.numInputs = core.numOutputs = 1;
    core.vendorStringLength = core.productStringLength = kIdentityStringLength;
    core.paramStringLength = kVstMaxParamStrLen;
    core.isSynth = core.programChunks = 0;
    core.modulePath = modulePathBuffer;
    for (ChannelState& channel : core.channels)
        resetChannelState(channel);
    fillProcessTables();
    core.editorWindow = nullptr;
    core.editorWidth = kDefaultEditorWidth;
    core.editorHeight = kDefaultEditorHeight;
    core.editorScale = 1.0f;
    core.controls = nullptr;
    core.fileCallback = nullptr;
    core.redrawAll = 0;
    core.busy = &busy;
    core.owner = this;

    initialiseCore();

    if (core.numInputs > kMaxChannelsAnnounced) core.numInputs = kMaxChannelsAnnounced;
    if (core.numOutputs > kMaxChannelsAnnounced) core.numOutputs = kMaxChannelsAnnounced;
    cEffect.numInputs = core.numInputs;
    cEffect.numOutputs = core.numOutputs;

    if (core.isSynth)
        cEffect.flags |= effFlagsIsSynth;
    else
        cEffect.flags &= ~effFlagsIsSynth;
    if (core.programChunks)
        cEffect.flags |= effFlagsProgramChunks;
    else
        cEffect.flags &= ~effFlagsProgramChunks;
    cEffect.flags |= effFlagsCanReplacing;

    cEffect.uniqueID = core.uniqueId;
    numPrograms = cEffect.numPrograms = core.numPrograms;
    numParams = cEffect.numParams = core.numParams;

    core.paramCache.reset(new float[static_cast<std::size_t>(core.numParams)]());
    chunkCopy.reset(new unsigned char[static_cast<std::size_t>(kPatchRecordSize) * kPatchCount]());

    if (core.flags & kCoreHasEditor) {
        if (AEffEditor* panel = createEditor(*this)) {
            cEffect.flags |= effFlagsHasEditor;
            setEditor(panel);
        }
    }
    constructed.store(1);
}

void kelVst::initialiseCore() {
    core.flags |= kCoreHasEditor;
    core.names = nameTable;
    core.vendorVersion = kQuarnelVendorVersion;
    core.numPrograms = kPatchCount;
    core.numParams = kParameterCount;
    core.uniqueId = kQuarnelUniqueId;
    core.numInputs = core.numOutputs = 2;
    core.isSynth = core.programChunks = 1;

    // The engine copies and stamps the 64 bank records, points at slot 0, and gives the voices,
    // filters, effect units, glides and shaper their initial values.
    core.engine = createSynthEngine();

    core.editorWidth = kEditorWidth;
    core.editorHeight = kEditorHeight;
    core.editorScale = 1.0f;
    core.fileCallback = &loadPatchOverride;

    core.channels[0].bendRange = kChannel1BendRange;
    core.engine->sampleRate = core.sampleRate;

    // The audio thread's engine: voices, running effect state and its copy of what the control
    // engine derives.
    rendering = createSynthEngine();

    // Build the tables for the default rate now, so that a host rendering before it sets a rate
    // finds them; the host's first rate or block-size notification rebuilds them. No audio
    // thread runs yet, so the audio engine takes them over at once.
    std::lock_guard<std::mutex> lock(busy.writers);
    rebuildForRate(core.sampleRate);
    publish();
    handover.adoptNewest(*rendering);
    handover.reclaim();
}

kelVst::~kelVst() {
    if (editor) stopEditor(editor);
    busy.suspended.store(1);
    worker.stop();
    // A host never closes a plug-in while it processes, but leave no doubt: wait until the
    // audio thread is out of its last call.
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
    // The editor goes last, but while this object's members still exist: its window may
    // receive messages until it is destroyed.
    delete editor;
    editor = nullptr;
}

void kelVst::suspend() {
    busy.suspended.store(1);
}

void kelVst::resume() {
    busy.suspended.store(0);
}

void kelVst::setSampleRate(float rate) {
    if (platform::isRealtimeThread()) {
        handOver({HostRequestKind::SampleRate, 0, rate, 0});
        return;
    }
    std::lock_guard<std::mutex> lock(busy.writers);
    takeHandedOverChanges();
    rebuildForRate(rate);
    publish();
}

void kelVst::setBlockSize(VstInt32 frames) {
    // The render loop needs a positive sub-block length: a size below one frame keeps the old
    // one (the tables are rebuilt all the same, as for any block-size notification).
    if (frames >= 1) std::atomic_ref<std::int32_t>(core.blockSize).store(frames);
    if (platform::isRealtimeThread()) {
        handOver({HostRequestKind::BlockSize, frames, 0.0f, 0});
        return;
    }
    std::lock_guard<std::mutex> lock(busy.writers);
    takeHandedOverChanges();
    rebuildForRate(sampleRate);
    if (frames >= 1) blockSize = frames;
    publish();
}

// ---- the writer side -----------------------------------------------------------------------

void kelVst::rebuildForRate(float rate) {
    core.inverseSampleRate = 1.0f / rate;
    changeEngine([&](SynthEngine& engine) { changeSampleRate(engine, rate); });
    sampleRate = rate;
    core.sampleRate = rate;
    currentRate.store(rate);
}

void kelVst::reapplyCurrent() {
    changeEngine(
        [&](SynthEngine& engine) { applyPatch(engine, kRebuildCurrentPatch, appliedProgram); });
}

void kelVst::applyProgram(std::int32_t program) {
    changeEngine([&](SynthEngine& engine) { applyPatch(engine, program, appliedProgram); });
    appliedProgram = program;
    refreshParamCache();
    requestFullRedraw(false);
}

void kelVst::applyParameter(int index, float value, std::uint32_t stamp) {
    setPerformanceParameter(*core.engine, index, value, core.sampleRate);
    fieldStamps[appliedProgram][index] = stamp;
    const float cached = core.paramCache[index];
    if (value == cached || std::isnan(value) || std::isnan(cached)) return;
    storeCachedParameter(core, index, value);
    markControlsDirty(index);
}

void kelVst::stampWholeRecords(int first, int count) {
    for (int program = first; program < first + count && program < kPatchCount; ++program)
        for (std::uint32_t& stamp : fieldStamps[program])
            stamp = handover.nextStamp();
}

void kelVst::takeHandedOverChanges() {
    SynthEngine& engine = *core.engine;
    // Controller changes the audio thread made to the live patch: the newer of a post and the
    // bank's own value wins.
    handover.takeControllerPosts(
        [&](int program, int field, std::int8_t value, std::uint32_t stamp) {
            const int index = field == LiveModulation ? ParamModulation : ParamAttack;
            if (!stampIsNewer(stamp, fieldStamps[program][index])) return;
            fieldStamps[program][index] = stamp;
            Patch& patch = engine.patches[program];
            (field == LiveModulation ? patch.modulation : patch.attack) = value;
        });
    // Host calls made on a real-time thread, in the order they were made.
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
            rebuildForRate(sampleRate);
            if (request.index >= 1) blockSize = request.index;
            break;
        }
    }
    if (requestsOverflowed.exchange(false)) {
        // Requests were lost to a full queue: catch up with what the host asked for last.
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

void kelVst::publish() {
    SynthEngine& engine = *core.engine;
    std::unique_ptr<EngineSetup> setup(new (std::nothrow) EngineSetup);
    if (setup &&
        captureSetup(engine, appliedProgram, *setup, ensembleLineRecreated, echoLineRecreated)) {
        setup->fieldStamps[LiveModulation] = fieldStamps[appliedProgram][ParamModulation];
        setup->fieldStamps[LiveAttack] = fieldStamps[appliedProgram][ParamAttack];
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

void kelVst::handOver(const HostRequest& request) {
    if (!requests.push(request)) requestsOverflowed.store(true);
    worker.wake();
}

void kelVst::serviceRequests(void* self) {
    auto& plugin = *static_cast<kelVst*>(self);
    std::lock_guard<std::mutex> lock(plugin.busy.writers);
    if (!plugin.core.engine) return;
    plugin.takeHandedOverChanges();
    plugin.publish();
}

#if !defined(QUARNEL_HAS_EDITOR)
AEffEditor* createEditor(kelVst&) {
    return nullptr;
}

void stopEditor(AEffEditor*) {}
#endif
