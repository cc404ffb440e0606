// The CLAP host behind the Instance interface: loads a .clap file through its clap_entry and
// drives the first plug-in its factory lists the way a DAW does (see format_instance.h).
#pragma once

#include "format_instance.h"

#include <memory>
#include <string>

namespace formathost {

/// Loads the .clap file at path (a shared library exporting clap_entry), creates and initialises
/// the first plug-in its factory lists and queries its extensions (params, state, audio-ports,
/// note-ports; render and latency when offered). Null on failure, with the reason in error.
std::unique_ptr<Instance> openClapInstance(const std::string& path, std::string& error);

} // namespace formathost
