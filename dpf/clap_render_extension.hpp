// CLAP's render extension, which the framework's CLAP wrapper lacks. This file is included into
// the build-time copy of that wrapper (dpf/CMakeLists.txt) right before its get_extension, inside
// the framework's namespace, where PluginCLAP is complete. The host tells whether it renders in
// real time or offline; the instrument then knows whether a change made on its processing
// thread may wait for the writers' lock (offline: yes, and it is exact to its frame).
#pragma once

/// The plug-in's side (quarnel_plugin.cpp): plugin is the framework's Plugin object.
void quarnelSetOfflineRender(void* plugin, bool offline);

namespace clap_render {

/// The extension's id and its two modes, as CLAP defines them.
constexpr const char kId[] = "clap.render";
constexpr int32_t kRealtime = 0;
constexpr int32_t kOffline = 1;

/// clap_plugin_render: two functions.
struct Extension {
    bool(CLAP_ABI* hasHardRealtimeRequirement)(const clap_plugin_t* plugin);
    bool(CLAP_ABI* set)(const clap_plugin_t* plugin, int32_t mode);
};

/// The instrument renders offline as well as in real time.
static CLAP_ABI bool hasHardRealtimeRequirement(const clap_plugin_t*) {
    return false;
}

static CLAP_ABI bool set(const clap_plugin_t* plugin, int32_t mode) {
    if (mode != kRealtime && mode != kOffline) return false;
    const auto* wrapper = static_cast<const PluginCLAP*>(plugin->plugin_data);
    quarnelSetOfflineRender(wrapper->pluginInstance(), mode == kOffline);
    return true;
}

static const Extension extension = {hasHardRealtimeRequirement, set};

} // namespace clap_render
