// The framework's UI side for one format (the DISTRHO_PLUGIN_TARGET_* definition the build
// gives this file); the UI class itself is quarnel_ui.cpp.
#include <DistrhoUIMain.cpp>
