// The LV2 host behind the Instance interface: loads one .lv2 bundle into a lilv world of its own
// and drives the plug-in it describes the way a DAW does (see format_instance.h).
#pragma once

#include "format_instance.h"

#include <memory>
#include <string>

namespace formathost {

/// Loads the .lv2 bundle folder at bundlePath (that bundle alone: LV2_PATH is never searched),
/// finds the one plug-in it describes, checks that its required features are ones this host
/// gives (URID map, options, worker schedule) and instantiates it at 44100 Hz with blocks of at
/// most 512 frames; start() makes a new instance for another rate or largest block, carrying the
/// plug-in's state and the control port values over. Null on failure, with the reason in error.
std::unique_ptr<Instance> openLv2Instance(const std::string& bundlePath, std::string& error);

} // namespace formathost
