// The built plug-in as the bank measurements play it: loaded once through its entry point, and
// a fresh instance for every render, so that no render hears the tail of another.
#pragma once

#include "tools/bank_measure/signal_measures.h"
#include "tools/vst_host/plugin_host.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace bank_measure {

/// A plug-in that cannot be played; what() names the file and the reason.
class PlayerError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

/// A MIDI channel message at a frame counted from the start of a render.
struct TimedMessage {
    std::int64_t frame = 0;
    std::uint8_t status = 0;
    std::uint8_t data1 = 0;
    std::uint8_t data2 = 0;
};

/// Channel 1 note messages.
TimedMessage noteOn(std::int64_t frame, int note, int velocity);
TimedMessage noteOff(std::int64_t frame, int note);

struct RenderSettings {
    double sampleRate = 44100.0; ///< Hz
    int blockSize = 512;         ///< frames per processReplacing call
};

class PluginPlayer {
  public:
    /// Loads path and checks, with one instance, that it is a stereo VST 2.4 instrument that
    /// renders through processReplacing. Throws PlayerError otherwise.
    PluginPlayer(const std::string& path, const RenderSettings& settings);
    PluginPlayer(const PluginPlayer&) = delete;
    PluginPlayer& operator=(const PluginPlayer&) = delete;

    const RenderSettings& settings() const { return renderSettings; }
    /// Name of every program slot (effGetProgramNameIndexed).
    const std::vector<std::string>& programNames() const { return names; }
    /// The whole bank as effGetChunk hands it to a host (the program records, slot 0 first);
    /// empty when the plug-in keeps no chunks.
    const std::vector<unsigned char>& bankChunk() const { return chunk; }

    /// Renders frames frames of program through a fresh instance (effOpen, sample rate, block
    /// size, effSetProgram, effMainsChanged 1), each block preceded by the messages that fall
    /// into it. Messages must be sorted by frame. Safe to call from several threads at once.
    StereoSignal render(int program, const std::vector<TimedMessage>& messages,
                        std::int64_t frames) const;

  private:
    vsthost::PluginLibrary library;
    std::string path;
    RenderSettings renderSettings;
    std::vector<std::string> names;
    std::vector<unsigned char> chunk;
};

} // namespace bank_measure
