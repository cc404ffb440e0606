#include "tool_test_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sndfile.h>
// glib.h first: smf.h includes it inside extern "C", where its C++ parts cannot go.
#include <glib.h>
#include <smf.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>

namespace tooltest {

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "quarnel-tools-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed: " + std::string(std::strerror(errno)));
    dir = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(dir, ec);
}

std::vector<std::string> TempDir::entries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

RunningProcess::RunningProcess(const std::vector<std::string>& argv,
                               const ProcessOptions& options) {
    std::string terminalName;
    if (options.stderrTerminal) {
        terminal = posix_openpt(O_RDWR | O_NOCTTY);
        if (terminal < 0 || grantpt(terminal) != 0 || unlockpt(terminal) != 0)
            throw std::runtime_error("no pseudo-terminal available");
        terminalName = ptsname(terminal);
    }
    const std::string outPath = (captures.path() / "stdout").string();
    const std::string errPath = (captures.path() / "stderr").string();

    child = fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) {
        if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0)
            _exit(126);
        for (const auto& [name, value] : options.environment)
            setenv(name.c_str(), value.c_str(), 1);
        for (const auto& name : options.unset)
            unsetenv(name.c_str());
        const int devNull = open("/dev/null", O_RDONLY);
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = options.stderrTerminal
                            ? open(terminalName.c_str(), O_RDWR | O_NOCTTY)
                            : open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (devNull < 0 || out < 0 || err < 0) _exit(126);
        dup2(devNull, 0);
        dup2(out, 1);
        dup2(err, 2);
        std::vector<char*> args;
        for (const std::string& arg : argv)
            args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
}

RunningProcess::~RunningProcess() {
    if (!finished && child > 0) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    if (terminal >= 0) close(terminal);
}

ProcessResult RunningProcess::finish() {
    ProcessResult result;
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    finished = true;
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    result.out = readText(captures.path() / "stdout");
    if (terminal >= 0) {
        // The child has exited: drain what it wrote to the terminal (read ends with EIO).
        fcntl(terminal, F_SETFL, fcntl(terminal, F_GETFL) | O_NONBLOCK);
        char buffer[4096];
        ssize_t n;
        while ((n = read(terminal, buffer, sizeof buffer)) > 0)
            result.err.append(buffer, static_cast<std::size_t>(n));
    } else {
        result.err = readText(captures.path() / "stderr");
    }
    return result;
}

ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
    RunningProcess process(argv, options);
    return process.finish();
}

std::vector<unsigned char> tempoEvent(int microsecondsPerQuarter) {
    return {0xFF,
            0x51,
            0x03,
            static_cast<unsigned char>((microsecondsPerQuarter >> 16) & 0xFF),
            static_cast<unsigned char>((microsecondsPerQuarter >> 8) & 0xFF),
            static_cast<unsigned char>(microsecondsPerQuarter & 0xFF)};
}

void writeSmf(const fs::path& path, int ppqn, const std::vector<SmfEvent>& events) {
    struct Deleter {
        void operator()(smf_t* smf) const { smf_delete(smf); }
    };
    std::unique_ptr<smf_t, Deleter> smf(smf_new());
    if (!smf || smf_set_ppqn(smf.get(), ppqn) != 0) throw std::runtime_error("smf_new failed");
    std::map<int, smf_track_t*> tracks;
    int trackCount = 1;
    for (const SmfEvent& e : events)
        trackCount = std::max(trackCount, e.track);
    for (int i = 1; i <= trackCount; ++i) {
        smf_track_t* track = smf_track_new();
        if (!track) throw std::runtime_error("smf_track_new failed");
        smf_add_track(smf.get(), track);
        tracks[i] = track;
    }
    for (const SmfEvent& e : events) {
        std::vector<unsigned char> bytes = e.bytes;
        smf_event_t* event =
            smf_event_new_from_pointer(bytes.data(), static_cast<int>(bytes.size()));
        if (!event) throw std::runtime_error("smf_event_new_from_pointer failed");
        smf_track_add_event_pulses(tracks[e.track], event, e.tick);
    }
    if (smf_save(smf.get(), path.c_str()) != 0) throw std::runtime_error("smf_save failed");
}

AudioFile readAudio(const fs::path& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file)
        throw std::runtime_error("cannot open " + path.string() + ": " + sf_strerror(nullptr));
    AudioFile audio;
    audio.sampleRate = info.samplerate;
    audio.channels = info.channels;
    audio.format = info.format;
    audio.frames = info.frames;
    audio.samples.resize(static_cast<std::size_t>(info.frames * info.channels));
    const sf_count_t read = sf_readf_float(file, audio.samples.data(), info.frames);
    sf_close(file);
    if (read != info.frames) throw std::runtime_error("short read from " + path.string());
    return audio;
}

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeText(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

} // namespace tooltest
