// The plug-in as the render tool drives it: loaded, checked to be a usable VST 2.4 instrument,
// opened, configured and resumed in the order a host follows, and closed again.
#pragma once

#include "tools/vst_host/plugin_host.h"

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace quarnel_render {

/// A plug-in that cannot be used; what() names the file and the reason.
class InstrumentError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

/// Largest program count the tool asks names for (guards against a nonsense numPrograms).
constexpr int kMaxProgramCount = 1024;
/// Audio outputs the tool renders (left, right); also the most inputs it provides.
constexpr int kStereoChannels = 2;

class Instrument {
  public:
    /// Loads path, calls its entry point and effOpen. Throws InstrumentError when the file is
    /// missing, is not a loadable library, has no VSTPluginMain, the entry point returns no
    /// effect, or the effect is not a stereo instrument that supports processReplacing.
    explicit Instrument(const std::string& path);
    /// effMainsChanged 0 and effClose (through the instance), then unloads the library.
    ~Instrument();
    Instrument(const Instrument&) = delete;
    Instrument& operator=(const Instrument&) = delete;

    /// Number of program slots the plug-in reports (0..kMaxProgramCount).
    int programCount() const;
    /// Name of every program slot (effGetProgramNameIndexed).
    std::vector<std::string> programNames();

    /// effSetSampleRate, effSetBlockSize, effSetProgram (when program >= 0), effMainsChanged 1.
    void start(double sampleRate, int blockSize, int program);
    /// start() without the final effMainsChanged 1, for loading a preset in between.
    void prepare(double sampleRate, int blockSize, int program);
    /// effMainsChanged 1.
    void resume();
    /// effSetProgram while running.
    void selectProgram(int program);

    vsthost::PluginInstance& instance() { return *plugin; }

  private:
    std::unique_ptr<vsthost::PluginLibrary> library;
    std::unique_ptr<vsthost::PluginInstance> plugin;
};

} // namespace quarnel_render
