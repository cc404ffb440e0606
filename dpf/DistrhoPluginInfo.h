// What the plug-in framework needs to know of the instrument at compile time: names, identity,
// ports and the features it uses. The values match instrument/identity.h (checked where the
// plug-in class is compiled).
#pragma once

#define DISTRHO_PLUGIN_BRAND "kel"
#define DISTRHO_PLUGIN_NAME "Quarnel"
#define DISTRHO_PLUGIN_URI "urn:kel:quarnel"
#define DISTRHO_PLUGIN_CLAP_ID "kel.quarnel"

#define DISTRHO_PLUGIN_HAS_UI 0
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
