// kelVst: the VST 2.4 plug-in object. It translates the host's dispatcher, parameter and
// processing calls into operations of the format-neutral Instrument it embeds, and owns the
// editor the host opens (kelVstEditor, the panel's link to the instrument and the host).
#pragma once

#include "instrument/instrument.h"
#include "vst/audio_effect.h"

#include <cstdint>

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

    Instrument& getInstrument() { return instrument; }
    PluginCore& getCore() { return instrument.getCore(); }
    BusyFlags& getBusyFlags() { return instrument.getBusyFlags(); }
    bool isConstructed() const { return instrument.isConstructed(); }
    /// The audio thread's engine (tests look at what the audio thread renders from).
    const SynthEngine& audioEngine() const { return instrument.audioEngine(); }

    /// The host's callback (the editor tells the host of its parameter gestures through it).
    audioMasterCallback hostCallback() const { return audioMaster; }
    /// The override file's text matched into the current program and re-applied.
    void applyOverride(const OverrideText& text) { instrument.applyOverride(text); }

  private:
    /// The instrument's question to the host: audioMasterGetCurrentProcessLevel.
    static ProcessLevel askProcessLevel(void* self);

    Instrument instrument;
};
