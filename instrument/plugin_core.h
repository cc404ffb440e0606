// PluginCore: the block of configuration and shared state embedded in the plug-in object that
// the shell, the engine and the editor all address: identity, counts, rates, the 16 MIDI
// channel records, the parameter cache, the engine, the editor's shared fields.
#pragma once

#include "engine/midi_input.h"
#include "engine/synth_engine.h"

#include <atomic>
#include <cstdint>
#include <memory>

struct EditorControl;
struct PluginCore;
class Instrument;

/// PluginCore::flags bits.
constexpr std::uint32_t kCoreReceivesVstEvents = 1;
constexpr std::uint32_t kCoreReceivesVstMidiEvent = 2;
constexpr std::uint32_t kCoreHasEditor = 4;
/// Most audio inputs or outputs announced to a host.
constexpr std::uint8_t kMaxChannelsAnnounced = 16;
/// Length of the process-wide module path buffer, characters with the zero.
constexpr int kModulePathLength = 260;
/// Editor size in unscaled pixels.
constexpr std::int32_t kEditorWidth = 364;
constexpr std::int32_t kEditorHeight = 104;
/// Window message of a left-button release (WM_LBUTTONUP), the one the file loader acts on.
constexpr std::uint32_t kMessageLeftButtonUp = 514;
/// Control index of the editor's title box, the one the file loader acts on.
constexpr std::int32_t kTitleControlIndex = 100;

using FileCallback = void (*)(PluginCore* core, std::int32_t paramIndex, std::uint32_t message);

/// Indices into the process-wide name table.
enum NameTableEntry : int {
    NameEffect = 0,
    NameVendor = 1,
    NameProduct = 2,
    NameFirstParameter = 3, ///< parameter i: name at 3 + 2i, label at 4 + 2i
    NameTableSize = 15,
};

struct PluginCore {
    std::int32_t uniqueId = 0;
    std::int32_t vendorVersion = 0;
    std::uint32_t flags =
        0; ///< kCoreReceivesVstEvents | kCoreReceivesVstMidiEvent | kCoreHasEditor
    std::int32_t numPrograms = 0;
    std::int32_t numParams = 0;
    std::int32_t curProgram = 0; ///< current program slot; read and written atomically
    std::uint8_t numInputs = 0;
    std::uint8_t numOutputs = 0;
    std::uint8_t vendorStringLength = 0;  ///< characters copied for the vendor string
    std::uint8_t productStringLength = 0; ///< characters copied for the product string
    std::uint8_t paramStringLength = 0;   ///< characters copied for parameter texts
    std::uint8_t isSynth = 0;
    std::uint8_t programChunks = 0;
    const char* modulePath = nullptr;   ///< full path of the library file
    char scratchText[1024] = {};        ///< display texts computed and not used
    char droppedFilePath[260] = {};     ///< path of a file dropped on the editor
    const char* const* names = nullptr; ///< the process-wide name table
    float sampleRate = 0;               ///< Hz
    float inverseSampleRate = 0;        ///< 1 / sampleRate
    std::int32_t blockSize = 0;         ///< most frames rendered in one engine call
    ChannelState channels[kChannelCount] = {};
    std::unique_ptr<float[]> paramCache; ///< normalised parameter values, numParams entries
    const char* tag = nullptr;           ///< build identification string
    std::unique_ptr<SynthEngine> engine;
    std::uint32_t outlineColour = 0;    ///< COLORREF 0x00BBGGRR
    std::uint32_t backgroundColour = 0; ///< COLORREF
    void* editorWindow = nullptr;       ///< the editor's window while open
    std::int32_t editorWidth = 0;       ///< unscaled pixels
    std::int32_t editorHeight = 0;
    float editorScale = 1.0f;
    EditorControl* controls = nullptr; ///< head of the editor's control list
    FileCallback fileCallback = nullptr;
    std::int32_t redrawAll = 0;      ///< pending full repaints of the editor
    std::int32_t heldParameter = -1; ///< the parameter whose knob the user holds; -1: none
    BusyFlags* busy = nullptr;       ///< the owning plug-in object's flags and writers' lock
    Instrument* owner = nullptr;     ///< the instrument this core is embedded in
};

/// One entry of the parameter cache. Writers change it under busy.writers; the editor reads it
/// without the lock where its input runs on a thread of its own (the X11 panel), so every write
/// and that read are single atomic accesses.
inline float cachedParameter(const PluginCore& core, int index) {
    return std::atomic_ref<float>(core.paramCache[index]).load(std::memory_order_relaxed);
}
inline void storeCachedParameter(const PluginCore& core, int index, float value) {
    std::atomic_ref<float>(core.paramCache[index]).store(value, std::memory_order_relaxed);
}

/// A writer's new value for entry index of the cache: the panel's own value stands while the
/// user holds that knob (heldParameter), whatever the host echoes meanwhile. Under busy.writers.
inline void refreshCachedParameter(const PluginCore& core, int index, float value) {
    if (index != core.heldParameter) storeCachedParameter(core, index, value);
}

/// The process-wide name table: effect, vendor, product, then six name/label pairs.
extern const char* nameTable[NameTableSize];
/// The process-wide library path.
extern char modulePathBuffer[kModulePathLength];
