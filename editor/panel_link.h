// PanelLink: what the panel needs of the instrument it shows and of the host around it, the
// one thing a plug-in format implements to carry the panel (the VST 2.4 shell's kelVstEditor;
// each format its own).
//
// What the panel reads: the instrument's core (PluginCore), whose shared fields are the
// control list and its dirty marks, the parameter cache, editorWindow and redrawAll. Writers
// change them under the core's writers' lock (busy->writers), and so does the panel; only the
// cache may be read without it, through cachedParameter. The title click and dropped files go
// to the core's fileCallback as they always have.
//
// What the panel asks: a gesture on a parameter is beginEdit, any number of performEdit calls
// with the values the mouse gives, and endEdit, always balanced (a panel closed mid-drag ends
// its gesture), so that hosts record the move as automation and undo it as one step. None of
// these is called with the writers' lock held: an implementation may call back into its host,
// which may call into the instrument at once.
//
// The audio thread changes two parameters itself (controllers 20 and 21); the panel asks for
// those at its idle or timer with takeAudioChanges.
//
// Threads: the calls come from the panel's thread (the host's user-interface thread on
// Windows, the panel's own thread on Linux); never from the audio thread.
#pragma once

struct PluginCore;

class PanelLink {
  public:
    virtual ~PanelLink() = default;

    /// The core whose shared fields the panel reads and marks.
    virtual PluginCore& panelCore() = 0;
    /// True once the instrument is constructed; the panel draws and edits nothing before.
    virtual bool instrumentReady() const = 0;

    /// The user took hold of parameter index's control.
    virtual void beginEdit(int index) = 0;
    /// The panel's value v (0..1) for parameter index: stored in the cache, made heard, and
    /// reported to the host with the value the instrument then reports when that changed. A v
    /// outside 0..1 applies the cached value again and reports nothing.
    virtual void performEdit(int index, float v) = 0;
    /// The user let go of parameter index's control.
    virtual void endEdit(int index) = 0;

    /// The panel's idle or timer: what the audio thread changed itself (controllers 20 and 21
    /// on the current program) taken into the cache and the dirty marks. Never waits for the
    /// writers' lock and never makes the audio thread wait; true when controls were marked.
    virtual bool takeAudioChanges() = 0;
};
