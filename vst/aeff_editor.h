// Editor base classes: the operations the dispatcher reaches on a plug-in's editor. No drawing
// frame exists; a derived editor creates and paints its own window.
#pragma once

#include "vst/aeffect.h"

class AudioEffect;

class AEffEditor {
  public:
    explicit AEffEditor(AudioEffect* effect) : effect(effect) {}
    virtual ~AEffEditor() = default;

    virtual AudioEffect* getEffect() { return effect; }
    virtual bool getRect(ERect** rect) {
        *rect = nullptr;
        return false;
    }
    virtual bool open(void* ptr) {
        systemWindow = ptr;
        return false;
    }
    virtual void close() { systemWindow = nullptr; }
    virtual bool isOpen() { return systemWindow != nullptr; }
    virtual void idle() {}
    virtual bool onKeyDown(VstKeyCode&) { return false; }
    virtual bool onKeyUp(VstKeyCode&) { return false; }
    virtual bool onWheel(float) { return false; }
    virtual bool setKnobMode(VstInt32) { return false; }

  protected:
    AudioEffect* effect;
    void* systemWindow = nullptr;
};

/// The GUI editor base: keeps the editor rectangle and the knob mode; without a frame its idle
/// and drawing hooks have nothing to do.
class AEffGUIEditor : public AEffEditor {
  public:
    explicit AEffGUIEditor(AudioEffect* effect) : AEffEditor(effect) {}

    bool getRect(ERect** out) override {
        *out = &rect;
        return true;
    }
    bool setKnobMode(VstInt32 mode) override {
        knobMode = mode;
        return true;
    }
    static VstInt32 getKnobMode() { return knobMode; }
    virtual void draw(ERect*) {}

  protected:
    void* frame = nullptr; // always null: no drawing frame is ever created
    ERect rect{0, 0, 0, 0};
    static inline VstInt32 knobMode = 0; // process-wide knob-mode setting; nothing reads it
};
