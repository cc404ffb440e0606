// The VST3 host behind the Instance interface: loads a .vst3 bundle's binary through its module
// entry and GetPluginFactory and drives the factory's audio module class the way a DAW does (see
// format_instance.h).
#pragma once

#include "format_instance.h"

#include <memory>
#include <string>

namespace formathost {

/// Loads the .vst3 bundle folder at bundlePath (its binary is Contents/x86_64-linux/<name>.so on
/// Linux, Contents/x86_64-win/<name>.vst3 on Windows; a single-file .vst3 is taken as the binary
/// itself), creates and initialises the factory's first audio module class, its audio processor
/// and its edit controller (the same object, or the controller class connected to it both
/// ways), and maps the instrument's six parameters by title. Null on failure, with the reason in
/// error.
std::unique_ptr<Instance> openVst3Instance(const std::string& bundlePath, std::string& error);

/// What a host does when it opens a saved project: every parameter the edit controller of
/// instance (one openVst3Instance made) lists, but the read-only ones and the program change
/// (hidden ones too), set on the controller to the value the controller reports for it and sent
/// to the processor at frame 0 of the next block. Returns how many were set; -1 when instance
/// is no VST3 instance or out of memory.
int setListedParametersAsReported(Instance& instance);

} // namespace formathost
