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
#include <cstring>

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
void fillNameTable() {
    static const char* const entries[NameTableSize] = {
        "kelvar(Quarnel)", "kel", "Quarnel", "Window", "[%]", "Modulation", "[%]", "Atack", "[%]",
        "Sustain",         "[%]", "HPF",     "[Hz]",   "LPF", "[Hz]"};
    for (int i = 0; i < NameTableSize; ++i)
        nameTable[i] = entries[i];
}
} // namespace

kelVst::kelVst(audioMasterCallback audioMaster) : AudioEffectX(audioMaster, 0, 0) {
    // The queue holds its initial 1024 items from its own construction; the flags start with
    // constructed 0, engineBusy 0, patchBusy 0 and suspended 1.
    lastQueryIndex = -1;

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
    platform::libraryPath(modulePathBuffer, sizeof(modulePathBuffer));
    core.editorWindow = nullptr;
    core.editorWidth = kDefaultEditorWidth;
    core.editorHeight = kDefaultEditorHeight;
    core.editorScale = 1.0f;
    core.controls = nullptr;
    core.fileCallback = nullptr;
    core.redrawAll = 0;
    core.busy = &busy;

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

    fillNameTable();
    core.channels[0].bendRange = kChannel1BendRange;
    core.engine->sampleRate = core.sampleRate;
    fillNoteFrequency();

    // Build the tables for the default rate now, so that a host rendering before it sets a rate
    // finds them; the host's first rate or block-size notification rebuilds them.
    changeSampleRate(*core.engine, core.sampleRate);
}

kelVst::~kelVst() {
    busy.suspended.store(1);
    {
        // Wait out a render that may still be running on the audio thread; an editor paint
        // checks for the engine and the cache under the same exclusion.
        PatchChangeScope change(busy);
        core.engine.reset();
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
    // Hosts send rate changes while suspended, but nothing stops one from arriving mid-stream:
    // the rebuild and the stored rates change together, exclusive with rendering.
    PatchChangeScope change(busy);
    core.inverseSampleRate = 1.0f / rate;
    changeSampleRate(*core.engine, rate);
    sampleRate = rate;
    core.sampleRate = rate;
}

void kelVst::setBlockSize(VstInt32 frames) {
    PatchChangeScope change(busy);
    changeSampleRate(*core.engine, sampleRate);
    // The render loop needs a positive sub-block length: a size below one frame is ignored.
    if (frames < 1) return;
    blockSize = frames;
    std::atomic_ref<std::int32_t>(core.blockSize).store(frames);
}

#if !defined(QUARNEL_HAS_EDITOR)
AEffEditor* createEditor(kelVst&) {
    return nullptr;
}
#endif
