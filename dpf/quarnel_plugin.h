// What the framework's plug-in class (quarnel_plugin.cpp) and its UI class (quarnel_ui.cpp)
// share, both compiled into each format's binary.
#pragma once

class Instrument;

namespace quarnelplugin {

/// The Instrument inside the framework's plug-in object (what the UI's
/// getPluginInstancePointer gives: the Plugin itself, in every format).
Instrument& instrumentOf(void* plugin);

/// The UI handed the framework one gesture step for its host. The CLAP build counts them, so
/// that its process call takes the UI events' lock only while there are some (see
/// dpf/CMakeLists.txt); elsewhere nothing.
void panelEventHanded();

} // namespace quarnelplugin
