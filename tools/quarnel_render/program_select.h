// Choosing the plug-in program from the command line: a program number, or a program name
// matched against the names the plug-in reports.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quarnel_render {

/// The outcome of resolveProgram: index >= 0 on success, else -1 with error set.
struct ProgramChoice {
    int index = -1;
    std::string error;
};

/// Resolves request against names (the plug-in's program names by slot, "" for unnamed slots).
/// A request of digits only is a slot number and must be below names.size(); anything else is
/// a name, compared without regard to letter case or surrounding spaces (the first slot with
/// that name wins). An unknown name yields an error listing the named slots.
ProgramChoice resolveProgram(std::string_view request, const std::vector<std::string>& names);

} // namespace quarnel_render
