// Writing the rendered stereo signal with libsndfile: 32-bit float WAV (IEEE float format chunk
// with its extension size, no PEAK chunk, so equal renders give equal files) or 24-bit FLAC, chosen
// by the output file's extension. The data goes to a temporary file beside the output, which only
// replaces the output once the render has succeeded, so a failed run leaves nothing behind.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct sf_private_tag;

namespace quarnel_render {

enum class AudioFormat {
    WavFloat32, ///< ".wav": IEEE float samples, written as they are
    Flac24,     ///< ".flac": 24-bit integer samples, clipped to full scale
};

/// The format an output path asks for by its extension (".wav" or ".flac", any letter case).
std::optional<AudioFormat> audioFormatForPath(const std::string& path);

/// An output that cannot be created or written; what() names the file and the reason.
class AudioWriterError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

/// A stereo output file being written. Throws AudioWriterError.
class AudioWriter {
  public:
    /// Creates a temporary file beside path; its folder must exist unless createFolder, which
    /// creates that one folder (not its parents). sampleRate in Hz (> 0).
    AudioWriter(const std::string& path, AudioFormat format, int sampleRate,
                bool createFolder = false);
    /// Removes the temporary file unless commit() succeeded.
    ~AudioWriter();
    AudioWriter(const AudioWriter&) = delete;
    AudioWriter& operator=(const AudioWriter&) = delete;

    /// Appends frames frames of the two channels. Samples that are not finite (NaN, infinity)
    /// are written as 0 and counted in replacedSamples().
    void write(const float* left, const float* right, std::int32_t frames);
    /// Finishes the file and moves it to the output path.
    void commit();

    /// Largest absolute sample written so far (linear, 1.0 = full scale; may exceed 1).
    float peak() const { return peakLevel; }
    /// Frames written so far.
    std::int64_t frames() const { return framesWritten; }
    /// Non-finite samples replaced by 0 so far.
    std::int64_t replacedSamples() const { return replaced; }
    const std::string& temporaryPath() const { return tempPath; }

  private:
    void discard();

    std::string outputPath;
    std::string tempPath;
    sf_private_tag* file = nullptr;
    std::vector<float> interleaved;
    float peakLevel = 0.0f;
    std::int64_t framesWritten = 0;
    std::int64_t replaced = 0;
    bool committed = false;
    bool wav = false; ///< the header gets the format chunk's extension size at commit
};

} // namespace quarnel_render
