// Loads the built plug-in once per test program, as a DAW does, and hands out fresh instances.
#pragma once

#include "tools/vst_host/plugin_host.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace hosttest {

/// The plug-in library under test (QUARNEL_PLUGIN overrides the built path).
inline vsthost::PluginLibrary& library() {
    static vsthost::PluginLibrary lib(vsthost::pluginPathFromEnvironment(QUARNEL_PLUGIN_PATH));
    return lib;
}

/// A new instance, set to 44100 Hz and 512-frame blocks and resumed when start is true.
inline std::unique_ptr<vsthost::PluginInstance>
newInstance(bool start = true, float sampleRate = 44100.0f, int blockSize = 512) {
    auto instance = std::make_unique<vsthost::PluginInstance>(library());
    if (start && instance->valid()) instance->start(sampleRate, blockSize);
    return instance;
}

} // namespace hosttest
