// What the plug-in framework needs to know of the instrument at compile time: names, identity,
// ports and the features it uses. The values match instrument/identity.h (checked where the
// plug-in class is compiled).
#pragma once

#define DISTRHO_PLUGIN_BRAND "kel"
#define DISTRHO_PLUGIN_NAME "Quarnel"
#define DISTRHO_PLUGIN_URI "urn:kel:quarnel"
#define DISTRHO_PLUGIN_CLAP_ID "kel.quarnel"

// The panel (editor/) in the host's window, through the framework's external-window UI, which
// reaches the instrument directly (LV2 hosts give the UI the instance; the UI lives in the
// plug-in's binary). The plug-in formats link the panel library, which defines
// QUARNEL_HAS_EDITOR where a panel is built; the standalone has none.
#if defined(QUARNEL_HAS_EDITOR) && !defined(DISTRHO_PLUGIN_TARGET_JACK)
#define DISTRHO_PLUGIN_HAS_UI 1
#define DISTRHO_PLUGIN_HAS_EXTERNAL_UI 1
#define DISTRHO_PLUGIN_HAS_EMBED_UI 1
#define DISTRHO_PLUGIN_WANT_DIRECT_ACCESS 1
#define DISTRHO_UI_URI DISTRHO_PLUGIN_URI "#panel"
#define DISTRHO_UI_USER_RESIZABLE 0
#define DISTRHO_UI_DEFAULT_WIDTH 364
#define DISTRHO_UI_DEFAULT_HEIGHT 104
#else
#define DISTRHO_PLUGIN_HAS_UI 0
#endif
#define DISTRHO_PLUGIN_IS_SYNTH 1
#define DISTRHO_PLUGIN_IS_RT_SAFE 1
#define DISTRHO_PLUGIN_NUM_INPUTS 0
#define DISTRHO_PLUGIN_NUM_OUTPUTS 2
#define DISTRHO_PLUGIN_WANT_MIDI_INPUT 1
#define DISTRHO_PLUGIN_WANT_PROGRAMS 1
#define DISTRHO_PLUGIN_WANT_STATE 1
#define DISTRHO_PLUGIN_WANT_FULL_STATE 1
#define DISTRHO_PLUGIN_WANT_TIMEPOS 0

#define DISTRHO_PLUGIN_LV2_CATEGORY "lv2:InstrumentPlugin"
#define DISTRHO_PLUGIN_VST3_CATEGORIES "Instrument|Synth"
#define DISTRHO_PLUGIN_CLAP_FEATURES "instrument", "synthesizer", "stereo"
