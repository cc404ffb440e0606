// What a VST 2.4 plug-in tells its host of the user's parameter gestures: a host callback that
// records audioMasterBeginEdit, audioMasterAutomate and audioMasterEndEdit (each automate with
// the value getParameter reports at that moment) and answers everything else as the test host
// does, and the check of one recorded gesture. The panel tests of both systems use it.
#pragma once

#include "tools/vst_host/plugin_host.h"

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

namespace gesturetest {

struct HostEdit {
    VstInt32 opcode;
    VstInt32 index;
    float value;    ///< audioMasterAutomate's value
    float reported; ///< getParameter(index) while the host heard it
};

inline std::mutex& logLock() {
    static std::mutex lock;
    return lock;
}

inline std::vector<HostEdit>& editLog() {
    static std::vector<HostEdit> log;
    return log;
}

/// The host callback to construct an instance with; may be called on any thread.
inline VstIntPtr recordingHost(AEffect* effect, VstInt32 opcode, VstInt32 index, VstIntPtr value,
                               void* ptr, float opt) {
    if (opcode == audioMasterBeginEdit || opcode == audioMasterAutomate ||
        opcode == audioMasterEndEdit) {
        const float reported =
            opcode == audioMasterAutomate ? effect->getParameter(effect, index) : 0.0f;
        std::lock_guard<std::mutex> lock(logLock());
        editLog().push_back({opcode, index, opt, reported});
        return 1;
    }
    return vsthost::hostCallback(effect, opcode, index, value, ptr, opt);
}

/// The edits recorded so far; the log is emptied.
inline std::vector<HostEdit> takeEdits() {
    std::lock_guard<std::mutex> lock(logLock());
    std::vector<HostEdit> edits;
    edits.swap(editLog());
    return edits;
}

/// How many calls with opcode the log holds.
inline int heard(VstInt32 opcode) {
    std::lock_guard<std::mutex> lock(logLock());
    int n = 0;
    for (const HostEdit& edit : editLog())
        n += edit.opcode == opcode;
    return n;
}

/// edits must be exactly one gesture on parameter index: its begin, one automate for each of
/// values in that order (each what the plug-in reported while the host heard it), its end.
inline void expectGesture(const std::vector<HostEdit>& edits, int index,
                          const std::vector<float>& values) {
    ASSERT_EQ(edits.size(), values.size() + 2) << "begin, one automate per value, end";
    EXPECT_EQ(edits.front().opcode, audioMasterBeginEdit);
    EXPECT_EQ(edits.back().opcode, audioMasterEndEdit);
    for (const HostEdit& edit : edits)
        EXPECT_EQ(edit.index, index);
    for (std::size_t i = 0; i < values.size(); ++i) {
        const HostEdit& edit = edits[i + 1];
        EXPECT_EQ(edit.opcode, audioMasterAutomate) << "edit " << i + 1;
        EXPECT_NEAR(edit.value, values[i], 1e-6f) << "automate " << i;
        EXPECT_EQ(edit.value, edit.reported) << "automate " << i << " is the value read back";
    }
}

} // namespace gesturetest
