// The panel in the framework's formats (LV2, VST3, CLAP): the framework's external-window UI
// hands over the host's window, and the same panel the VST 2.4 build shows (editor/) opens inside
// it, X11 on Linux and GDI on Windows. The UI is the panel's PanelLink: it reads the instrument
// the plug-in object holds (the framework's direct access), sets a parameter through the same
// operation as the VST 2.4 panel, and tells the host with editParameter and setParameterValue
// (in the parameter's own units, as the plug-in announces it).
//
// The framework's calls to the host belong to the host's user-interface thread, while the X11
// panel handles the mouse on a thread of its own: the panel's gestures are queued and sent at
// the next uiIdle, which the host calls on its user-interface thread (VST3's run loop or timer,
// CLAP's timer, LV2's idle interface).
#include "dpf/quarnel_plugin.h"
#include "editor/panel_editor.h"
#include "editor/panel_link.h"
#include "instrument/instrument.h"
#include "patches/performance_parameters.h"

#include <DistrhoUI.hpp>

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

START_NAMESPACE_DISTRHO

namespace {
/// One gesture step for the host, in the framework's numbering and the parameter's units.
struct PanelEdit {
    enum Kind : std::uint8_t { Begin, Value, End } kind;
    std::uint32_t index;
    float plain;
};
/// Room kept for queued gesture steps, so that a drag does not allocate.
constexpr std::size_t kQueuedEdits = 256;
} // namespace

class QuarnelUI : public UI, public PanelLink {
  public:
    QuarnelUI()
        : UI(kEditorWidth, kEditorHeight),
          instrument(quarnelplugin::instrumentOf(getPluginInstancePointer())) {
        queued.reserve(kQueuedEdits);
        sending.reserve(kQueuedEdits);
        panel = createPanel(*this);
        if (const std::uintptr_t parent = getParentWindowHandle())
            panel->open(reinterpret_cast<void*>(parent));
    }

    ~QuarnelUI() override {
        // A gesture under way ends with the panel; the host hears that end too.
        panel->stop();
        panel->close();
        sendEdits();
    }

    // ---- PanelLink -----------------------------------------------------------------------------

    PluginCore& panelCore() override { return instrument.getCore(); }
    bool instrumentReady() const override { return instrument.isConstructed(); }

    void beginEdit(int index) override {
        instrument.holdParameter(index);
        lastSent[index] = instrument.plainParameter(index);
        queue({PanelEdit::Begin, frameworkIndex(index), 0.0f});
    }

    void performEdit(int index, float v) override {
        // The host sets the parameter (and echoes it back); the panel shows the value at once.
        // A value outside 0..1 only repeats the cached one: nothing for the host.
        if (!(v >= 0.0f && v <= 1.0f)) return;
        instrument.previewParameter(index, v);
        const float plain = plainParameterValue(index, v);
        if (plain == lastSent[index]) return;
        lastSent[index] = plain;
        queue({PanelEdit::Value, frameworkIndex(index), plain});
    }

    void endEdit(int index) override { queue({PanelEdit::End, frameworkIndex(index), 0.0f}); }

    bool takeAudioChanges() override { return instrument.takeControllerChanges(); }

  protected:
    // ---- the host's calls --------------------------------------------------------------------

    void parameterChanged(uint32_t index, float) override {
        // Hosts echo the values the panel sends, some a step behind the mouse: while the user
        // holds that knob, the instrument keeps the panel's own value in the cache.
        instrument.showParameterOnPanel(static_cast<int>(index));
    }

    void programLoaded(uint32_t) override { instrument.showProgramOnPanel(); }

    void stateChanged(const char*, const char*) override {}

    void uiIdle() override {
        sendEdits();
        panel->idle();
    }

  private:
    /// The framework numbers the parameters as the instrument does.
    static std::uint32_t frameworkIndex(int index) { return static_cast<std::uint32_t>(index); }

    void queue(const PanelEdit& edit) {
        std::lock_guard<std::mutex> lock(queueLock);
        queued.push_back(edit);
    }

    /// The queued gesture steps to the host, in order. The host's user-interface thread.
    void sendEdits() {
        {
            std::lock_guard<std::mutex> lock(queueLock);
            sending.swap(queued);
        }
        for (const PanelEdit& edit : sending) {
            quarnelplugin::panelEventHanded();
            if (edit.kind == PanelEdit::Value) {
                setParameterValue(edit.index, edit.plain);
                continue;
            }
            editParameter(edit.index, edit.kind == PanelEdit::Begin);
            // The host has every value of the gesture now; a gesture begun since stays held.
            if (edit.kind == PanelEdit::End)
                instrument.releaseParameter(static_cast<int>(edit.index));
        }
        sending.clear();
    }

    Instrument& instrument;
    std::unique_ptr<PanelEditor> panel;
    /// The panel's thread's: per parameter, the value last sent in the gesture under way.
    float lastSent[kParameterCount] = {};
    std::mutex queueLock;
    std::vector<PanelEdit> queued;  ///< under queueLock: steps the panel made since the last send
    std::vector<PanelEdit> sending; ///< the user-interface thread's: the steps being sent

    DISTRHO_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR(QuarnelUI)
};

UI* createUI() {
    return new QuarnelUI();
}

END_NAMESPACE_DISTRHO
