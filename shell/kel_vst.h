// kelVst: the plug-in object. It translates the host's calls into operations on PluginCore and
// the engine, owns the MIDI queue, the parameter cache, the engine and the editor, and keeps the
// audio thread apart from patch rebuilds with its busy flags.
#pragma once

#include "shell/plugin_core.h"
#include "vst/audio_effect.h"

#include <atomic>
#include <cstdint>

/// Room for the cached display text of the query cache, characters.
constexpr int kQueryTextLength = 40;

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

  private:
    void initialiseCore();
    void refreshParamCache();
    void requestFullRedraw(bool add);
    void markControlsDirty(int paramIndex);
    bool paramIndexValid(VstInt32 index) const { return index >= 0 && index < core.numParams; }

    EventQueue eventQueue;
    std::int32_t lastQueryIndex = -1;
    float lastQueryValue = 0;
    char lastQueryText[kQueryTextLength + 1] = {};
    PluginCore core;
    std::atomic<std::uint8_t> constructed{0};
    BusyFlags busy; // suspended, engineBusy and patchBusy, and the writers' mutex
};

/// The override-file loader installed as PluginCore's fileCallback: on a left-button release
/// over the title (index 100) it reads "debug.txt" beside the library into the current program.
void loadPatchOverride(PluginCore* core, std::int32_t index, std::uint32_t message);
