// The framework's wrapper for one format, chosen by the DISTRHO_PLUGIN_TARGET_* definition the
// build gives this file (one compilation per format).
#include <DistrhoPluginMain.cpp>
