// Helpers for the tool tests: scratch directories, running the built programs, writing MIDI
// files with libsmf and reading audio files back with libsndfile.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace tooltest {

namespace fs = std::filesystem;

/// A fresh directory under the system's temporary directory, removed with its contents.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const fs::path& path() const { return dir; }
    fs::path operator/(const std::string& name) const { return dir / name; }
    /// Names of the entries directly inside the directory, sorted.
    std::vector<std::string> entries() const;

  private:
    fs::path dir;
};

struct ProcessOptions {
    /// Variables set (or overwritten) in the child's environment.
    std::vector<std::pair<std::string, std::string>> environment;
    /// Variables removed from the child's environment.
    std::vector<std::string> unset;
    /// Working directory of the child ("" keeps the current one).
    fs::path workingDirectory;
    /// Connect the child's stderr to a pseudo-terminal instead of a file.
    bool stderrTerminal = false;
};

struct ProcessResult {
    /// Exit status, or -1 when the child was killed by a signal.
    int exitCode = -1;
    /// The signal that ended the child, or 0.
    int signal = 0;
    std::string out;
    std::string err;
};

/// A child process started with startProcess; finish() waits for it and collects its output.
class RunningProcess {
  public:
    RunningProcess(const std::vector<std::string>& argv, const ProcessOptions& options);
    ~RunningProcess();
    RunningProcess(const RunningProcess&) = delete;
    RunningProcess& operator=(const RunningProcess&) = delete;

    pid_t pid() const { return child; }
    ProcessResult finish();

  private:
    pid_t child = -1;
    TempDir captures;
    int terminal = -1;
    bool finished = false;
};

/// Runs argv[0] with the arguments and waits for it.
ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});

/// One event of a synthetic MIDI file: track number counted from 1, absolute time in ticks and
/// the raw bytes (channel messages, meta events starting 0xFF and sysex starting 0xF0).
struct SmfEvent {
    int track = 1;
    int tick = 0;
    std::vector<unsigned char> bytes;
};

/// Writes a format-1 file with ppqn ticks per quarter note; events of a track must be given in
/// time order. Throws std::runtime_error on failure.
void writeSmf(const fs::path& path, int ppqn, const std::vector<SmfEvent>& events);
/// A tempo meta event of microsecondsPerQuarter.
std::vector<unsigned char> tempoEvent(int microsecondsPerQuarter);

/// An audio file read back: interleaved samples as float (full scale 1.0).
struct AudioFile {
    int sampleRate = 0;
    int channels = 0;
    /// libsndfile's format word (container | encoding).
    int format = 0;
    std::int64_t frames = 0;
    std::vector<float> samples;

    float at(std::int64_t frame, int channel) const {
        return samples[static_cast<std::size_t>(frame * channels + channel)];
    }
};

/// Reads path; throws std::runtime_error when it cannot be read.
AudioFile readAudio(const fs::path& path);

std::string readText(const fs::path& path);
void writeText(const fs::path& path, const std::string& text);

} // namespace tooltest
