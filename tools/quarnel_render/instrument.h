// The plug-in as the render tool drives it, in any of its formats (VST 2.4 .so or .dll, a .vst3
// bundle, a .clap file, a .lv2 bundle) through the format hosts: loaded, checked, started at the
// render's rate and block size, and closed again.
#pragma once

#include "tools/format_hosts/format_instance.h"
#include "tools/presets/fx_container.h"

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace quarnel_render {

/// A plug-in that cannot be used; what() names the file and the reason.
class InstrumentError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

/// Largest program count the tool asks names for (guards against a nonsense program count).
constexpr int kMaxProgramCount = 1024;

class Instrument {
  public:
    /// Loads path as format (told by the path when none is given) and makes one instance (for
    /// VST 2.4: entry point and effOpen). Throws InstrumentError when the plug-in is missing,
    /// is not of that format, or (VST 2.4) is not a stereo instrument with processReplacing.
    Instrument(const std::string& path, std::optional<formathost::Format> format);
    Instrument(const Instrument&) = delete;
    Instrument& operator=(const Instrument&) = delete;

    formathost::Format format() const { return kind; }

    /// Number of program slots the plug-in reports (0..kMaxProgramCount).
    int programCount();
    /// Name of every program slot.
    std::vector<std::string> programNames();

    /// Sets the rate and the largest block, selects program (when >= 0) and activates
    /// processing, telling the plug-in it renders offline.
    void start(double sampleRate, int blockSize, int program);
    /// A program change between blocks.
    void selectProgram(int program);
    /// Loads a preset file's chunk: a bank as the bank (keeping program current), a program
    /// into the current slot. Throws fxpreset::FxFileError when the plug-in refuses it.
    void loadPreset(const fxpreset::FxFile& preset, const std::string& path, int program);

    formathost::Instance& instance() { return *plugin; }

  private:
    formathost::Format kind;
    std::unique_ptr<formathost::Instance> plugin;
    /// The program names read from the bank, for a format without a program list of its own
    /// (CLAP: its programs are reached through the state); empty otherwise.
    std::vector<std::string> bankNames;
};

} // namespace quarnel_render
