// The built quarnel-render program end to end, driving the probe instrument (a stand-in that
// traces every host call and encodes the MIDI it receives in its output), and its failures:
// each leaves no output file and no temporary file behind.

#include "tool_test_support.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>
#include <sndfile.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <numeric>
#include <sstream>
#include <thread>

namespace {

using tooltest::ProcessOptions;
using tooltest::ProcessResult;
using tooltest::SmfEvent;
using tooltest::TempDir;
using tooltest::fs::path;

constexpr int kPpqn = 480;
constexpr int kRate = 48000;
constexpr int kBlock = 256;
/// The probe's encodings (see probe_plugin.cpp).
constexpr float kVelocityScale = 64.0f;
constexpr float kProgramScale = 16.0f;

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        result.push_back(line);
    return result;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

/// At 120 bpm one tick is 1/960 s, so at 48 kHz one tick is 50 frames.
std::vector<SmfEvent> probePiece(int firstVelocity = 32, int secondVelocity = 48) {
    const auto v1 = static_cast<unsigned char>(firstVelocity);
    const auto v2 = static_cast<unsigned char>(secondVelocity);
    return {
        {1, 0, tooltest::tempoEvent(500000)},
        {1, 0, {0xFF, 0x01, 3, 'a', 'b', 'c'}},
        {2, 480, {0x90, 60, v1}},                       // 0.5 s = frame 24000
        {2, 600, {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}}, // never sent
        {2, 720, {0xC1, 2}},                            // 0.75 s = frame 36000
        {2, 720, {0x91, 64, v2}},
        {2, 960, {0x80, 60, 0}},  // 1 s = frame 48000
        {2, 1200, {0x81, 64, 0}}, // 1.25 s = frame 60000
    };
}
/// Frames rendered for probePiece with a 0.5 s tail: last event + tail.
constexpr std::int64_t kProbePieceFrames = 60000 + 24000;

class RenderTool : public ::testing::Test {
  protected:
    void SetUp() override { tooltest::writeSmf(dir / "piece.mid", kPpqn, probePiece()); }

    /// Runs quarnel-render with args; QUARNEL_PLUGIN is removed from its environment unless
    /// options set it, and PROBE_TRACE points to trace.txt in the scratch directory.
    ProcessResult render(const std::vector<std::string>& args, ProcessOptions options = {}) {
        std::vector<std::string> argv = {QUARNEL_RENDER_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        bool pluginVariable = false;
        for (const auto& [name, value] : options.environment)
            pluginVariable = pluginVariable || name == "QUARNEL_PLUGIN";
        if (!pluginVariable) options.unset.push_back("QUARNEL_PLUGIN");
        options.environment.push_back({"PROBE_TRACE", (dir / "trace.txt").string()});
        return tooltest::runProcess(argv, options);
    }

    /// The standard probe render of piece.mid into name, with extra arguments.
    ProcessResult renderProbe(const std::string& name, std::vector<std::string> extra = {},
                              ProcessOptions options = {},
                              const std::string& plugin = PROBE_INSTRUMENT_PATH) {
        std::vector<std::string> args = {
            (dir / "piece.mid").string(), "--plugin", plugin, "-r", std::to_string(kRate), "-b",
            std::to_string(kBlock),       "-t",       "0.5",  "-o", (dir / name).string()};
        args.insert(args.end(), extra.begin(), extra.end());
        return render(args, options);
    }

    std::vector<std::string> trace() { return lines(tooltest::readText(dir / "trace.txt")); }

    TempDir dir;
};

TEST_F(RenderTool, FollowsTheHostSequenceAndDeliversEventsOnTheirFrames) {
    const ProcessResult result = renderProbe("out.wav", {"-p", "  glass BELL"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, ""); // no progress bar when stderr is not a terminal
    const std::string summaryStart =
        "Rendered 1.75 s to " + (dir / "out.wav").string() + ": peak -2.5 dBFS, ";
    EXPECT_EQ(result.out.rfind(summaryStart, 0), 0u) << result.out;
    EXPECT_TRUE(result.out.ends_with("x realtime\n")) << result.out;
    EXPECT_EQ(std::count(result.out.begin(), result.out.end(), '\n'), 1);

    const auto calls = trace();
    ASSERT_GE(calls.size(), 7u);
    const std::vector<std::string> start = {"open", "rate 48000", "block 256", "program 3",
                                            "mains 1"};
    EXPECT_EQ(std::vector<std::string>(calls.begin(), calls.begin() + 5), start);
    EXPECT_EQ(calls[calls.size() - 2], "mains 0");
    EXPECT_EQ(calls.back(), "close");

    std::int64_t frames = 0;
    std::vector<std::string> eventLines;
    for (std::size_t i = 5; i + 2 < calls.size(); ++i) {
        const std::string& call = calls[i];
        if (call.rfind("process ", 0) == 0) {
            const int n = std::stoi(call.substr(8));
            EXPECT_GE(n, 1);
            EXPECT_LE(n, kBlock);
            frames += n;
        } else if (call.rfind("events ", 0) == 0) {
            eventLines.push_back(call);
            // Events always precede a processReplacing call.
            EXPECT_EQ(calls[i + 1].rfind("process ", 0), 0u) << call;
        } else if (call == "program 2") {
            // The program change splits block 140 (35840..36095) at frame 36000.
            EXPECT_EQ(calls[i - 1], "process 160");
            EXPECT_EQ(calls[i + 1], "events 2 0:c1 02 00 0:91 40 30");
            EXPECT_EQ(calls[i + 2], "process 96");
        } else {
            ADD_FAILURE() << "unexpected call: " << call;
        }
    }
    EXPECT_EQ(frames, kProbePieceFrames);
    const std::vector<std::string> expectedEvents = {
        "events 1 192:90 3c 20",          // 24000 = 93 x 256 + 192
        "events 2 0:c1 02 00 0:91 40 30", // 36000, program change first as in the file
        "events 1 128:80 3c 00",          // 48000 = 187 x 256 + 128
        "events 1 96:81 40 00",           // 60000 = 234 x 256 + 96; no sysex anywhere
    };
    EXPECT_EQ(eventLines, expectedEvents);

    const tooltest::AudioFile audio = tooltest::readAudio(dir / "out.wav");
    EXPECT_EQ(audio.sampleRate, kRate);
    EXPECT_EQ(audio.channels, 2);
    EXPECT_EQ(audio.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    {
        // IEEE float (format 3) with the format chunk's extension size, 0: 18 bytes, as readers
        // that check it (sox) want them.
        std::ifstream raw(dir / "out.wav", std::ios::binary);
        unsigned char head[40] = {};
        raw.read(reinterpret_cast<char*>(head), sizeof head);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(head + 12), 4), "fmt ");
        EXPECT_EQ(head[16] | head[17] << 8, 18);
        EXPECT_EQ(head[20] | head[21] << 8, 3);
        EXPECT_EQ(head[36] | head[37] << 8, 0);
    }
    ASSERT_EQ(audio.frames, kProbePieceFrames);
    for (std::int64_t f = 0; f < audio.frames; ++f) {
        const float expectedLeft =
            f == 24000 ? 32 / kVelocityScale : (f == 36000 ? 48 / kVelocityScale : 0.0f);
        const float expectedRight = (f < 36000 ? 4 : 3) / kProgramScale;
        if (audio.at(f, 0) != expectedLeft || audio.at(f, 1) != expectedRight) {
            ADD_FAILURE() << "frame " << f << ": " << audio.at(f, 0) << ", " << audio.at(f, 1);
            break;
        }
    }
    const std::vector<std::string> files = {"out.wav", "piece.mid", "trace.txt"};
    EXPECT_EQ(dir.entries(), files);
}

TEST_F(RenderTool, WritesClippedFlacAndReplacesNonFiniteSamples) {
    auto piece = probePiece(127, 127);
    piece.push_back({2, 1100, {0x92, 0, 10}}); // note 0: the probe answers NaN at 55000
    piece.push_back({2, 1150, {0x82, 0, 0}});
    std::stable_sort(piece.begin(), piece.end(),
                     [](const SmfEvent& a, const SmfEvent& b) { return a.tick < b.tick; });
    tooltest::writeSmf(dir / "piece.mid", kPpqn, piece);

    const ProcessResult result = renderProbe("out.FLAC", {"-p", "1"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_TRUE(contains(result.out, ": peak 6.0 dBFS, ")) << result.out; // 127/64 = +5.95 dB
    EXPECT_TRUE(contains(result.err, "out.FLAC is clipped")) << result.err;
    EXPECT_TRUE(contains(result.err, "1 non-finite samples")) << result.err;

    const tooltest::AudioFile audio = tooltest::readAudio(dir / "out.FLAC");
    EXPECT_EQ(audio.format, SF_FORMAT_FLAC | SF_FORMAT_PCM_24);
    ASSERT_EQ(audio.frames, kProbePieceFrames);
    constexpr float kStep = 1.0f / 8388608.0f;    // one 24-bit step
    EXPECT_NEAR(audio.at(24000, 0), 1.0f, kStep); // 1.98 clipped to full scale
    EXPECT_NEAR(audio.at(36000, 0), 1.0f, kStep);
    EXPECT_EQ(audio.at(55000, 0), 0.0f); // NaN written as 0
    EXPECT_EQ(audio.at(54999, 0), 0.0f);
    EXPECT_NEAR(audio.at(1000, 1), 2 / kProgramScale, kStep);
    EXPECT_NEAR(audio.at(50000, 1), 3 / kProgramScale, kStep);
}

TEST_F(RenderTool, DefaultOutputPluginVariableAndUnknownProgramChanges) {
    auto piece = probePiece();
    piece.push_back({2, 1000, {0xC0, 100}}); // the probe has 8 programs
    tooltest::writeSmf(dir / "song.mid", kPpqn, piece);

    ProcessOptions options;
    options.workingDirectory = dir.path();
    options.environment = {{"QUARNEL_PLUGIN", PROBE_INSTRUMENT_PATH}};
    const ProcessResult result = render({"song.mid", "-t", "0"}, options);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out.rfind("Rendered 1.25 s to out/song.wav: ", 0), 0u) << result.out;
    EXPECT_TRUE(contains(result.err, "program change to 100 ignored: the plug-in has 8 programs"))
        << result.err;
    const auto calls = trace();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "program 100"), 0);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "program 0"), 1); // the default program
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "rate 44100"), 1);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "block 512"), 1);
    const tooltest::AudioFile audio = tooltest::readAudio(dir / "out" / "song.wav");
    EXPECT_EQ(audio.frames, 55125); // 1.25 s at 44100 Hz, no tail
    EXPECT_EQ(audio.sampleRate, 44100);

    // --plugin wins over the variable.
    options.environment = {{"QUARNEL_PLUGIN", (dir / "nothing.so").string()}};
    const ProcessResult overridden =
        render({"song.mid", "--plugin", PROBE_INSTRUMENT_PATH, "-o", "again.wav"}, options);
    EXPECT_EQ(overridden.exitCode, 0) << overridden.err;
    EXPECT_TRUE(tooltest::fs::exists(dir / "again.wav"));
}

TEST_F(RenderTool, DrawsProgressOnlyOnATerminal) {
    const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
    if (terminal < 0) GTEST_SKIP() << "no pseudo-terminal on this machine";
    close(terminal);
    ProcessOptions options;
    options.stderrTerminal = true;
    options.environment = {{"PROBE_SLOW", "1"}}; // about 0.3 s of rendering
    const ProcessResult result = renderProbe("out.wav", {}, options);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_TRUE(contains(result.err, "[##")) << result.err;
    EXPECT_TRUE(contains(result.err, "100%  1.8 / 1.8 s")) << result.err;
    EXPECT_TRUE(contains(result.err, "\r\033[K")) << result.err; // cleared before the summary
    EXPECT_EQ(result.out.rfind("Rendered 1.75 s to ", 0), 0u) << result.out;
}

TEST_F(RenderTool, AnInterruptedRenderLeavesNothingBehind) {
    ProcessOptions options;
    options.environment = {{"PROBE_SLOW", "1"}, {"PROBE_TRACE", (dir / "trace.txt").string()}};
    options.unset = {"QUARNEL_PLUGIN"};
    tooltest::RunningProcess process({QUARNEL_RENDER_PATH, (dir / "piece.mid").string(), "--plugin",
                                      PROBE_INSTRUMENT_PATH, "-b", "64", "-t", "60", "-o",
                                      (dir / "long.wav").string()},
                                     options);
    // Wait for the temporary file to appear, then interrupt.
    bool started = false;
    for (int i = 0; i < 500 && !started; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        started = dir.entries().size() > 1;
    }
    ASSERT_TRUE(started);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    kill(process.pid(), SIGINT);
    const ProcessResult result = process.finish();
    EXPECT_EQ(result.exitCode, 130) << result.err;
    EXPECT_TRUE(contains(result.err, "interrupted")) << result.err;
    EXPECT_EQ(result.out, "");
    const std::vector<std::string> files = {"piece.mid", "trace.txt"};
    EXPECT_EQ(dir.entries(), files);
    const auto calls = trace();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[calls.size() - 2], "mains 0"); // the plug-in was still closed properly
    EXPECT_EQ(calls.back(), "close");
}

TEST_F(RenderTool, ReproducibleOutputOldEntryPointVersionsProgramListAndNote) {
    // Two renders, the second through a plug-in exporting only "main": equal files.
    ASSERT_EQ(renderProbe("a.wav").exitCode, 0);
    const ProcessResult oldEntry = renderProbe("b.wav", {}, {}, PROBE_MAIN_ONLY_PATH);
    ASSERT_EQ(oldEntry.exitCode, 0) << oldEntry.err;
    EXPECT_EQ(tooltest::readText(dir / "a.wav"), tooltest::readText(dir / "b.wav"));

    for (const std::string tool : {QUARNEL_RENDER_PATH, QUARNEL_PRESETS_PATH, QUARNEL_BANK_PATH}) {
        const ProcessResult version = tooltest::runProcess({tool, "--version"});
        EXPECT_EQ(version.exitCode, 0) << tool;
        EXPECT_EQ(version.out, path(tool).filename().string() + " " + QUARNEL_VERSION + "\n");
    }

    const ProcessResult list = render({"--list-programs", "--plugin", PROBE_INSTRUMENT_PATH});
    EXPECT_EQ(list.exitCode, 0) << list.err;
    EXPECT_EQ(lines(list.out).size(), 8u);
    EXPECT_TRUE(contains(list.out, "\n3 Glass Bell\n")) << list.out;

    tooltest::writeSmf(dir / "starts.mid", kPpqn,
                       {{1, 0, {0xC0, 5}}, {1, 0, {0x90, 60, 64}}, {1, 480, {0x80, 60, 0}}});
    const ProcessResult noted =
        render({(dir / "starts.mid").string(), "--plugin", PROBE_INSTRUMENT_PATH, "-p", "2", "-o",
                (dir / "c.wav").string()});
    EXPECT_EQ(noted.exitCode, 0) << noted.err;
    EXPECT_TRUE(contains(noted.err, "selects program 5 at its start, in place of --program 2"))
        << noted.err;
}

TEST_F(RenderTool, CpuTimeSumsTheProcessorTimeInsideProcessReplacingOnly) {
    // Every call keeps the probe busy for 0.2 ms of CPU time and then sleeps for 1 ms: the sum
    // holds all of the busy time and none of the sleep.
    constexpr double kBusyMilliseconds = 0.2;
    constexpr double kSleepMilliseconds = 1.0;
    ProcessOptions options;
    options.environment = {{"PROBE_BUSY_US", "200"}, {"PROBE_SLOW", "1"}};
    const ProcessResult result = renderProbe("timed.wav", {"--cpu-time"}, options);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const std::vector<std::string> summary = lines(result.out);
    ASSERT_EQ(summary.size(), 2u) << result.out;
    double cpuMilliseconds = 0.0;
    double audioSeconds = 0.0;
    double realtime = 0.0;
    long long calls = 0;
    ASSERT_EQ(std::sscanf(summary[1].c_str(),
                          "cpu-time: cpu_ms=%lf audio_s=%lf realtime=%lf calls=%lld",
                          &cpuMilliseconds, &audioSeconds, &realtime, &calls),
              4)
        << summary[1];

    const std::vector<std::string> hostCalls = trace();
    const auto traced =
        std::count_if(hostCalls.begin(), hostCalls.end(),
                      [](const std::string& call) { return call.starts_with("process "); });
    EXPECT_EQ(calls, traced);
    EXPECT_DOUBLE_EQ(audioSeconds, static_cast<double>(kProbePieceFrames) / kRate);
    EXPECT_GE(cpuMilliseconds, static_cast<double>(calls) * kBusyMilliseconds);
    EXPECT_LT(cpuMilliseconds, static_cast<double>(calls) * kSleepMilliseconds);
    EXPECT_NEAR(realtime, audioSeconds / (cpuMilliseconds / 1000.0), realtime * 1e-3);
}

#if defined(QUARNEL_CLAP_PATH)
/// The instrument itself through every format the tree builds: the same piece, the same bytes.
TEST_F(RenderTool, EveryFormatRendersTheSameFileAsTheVst2Library) {
    // A chord in program 15, chosen by a program change at the start, then one in program 23
    // from a change within the piece (not on a block boundary at 512 frames).
    tooltest::writeSmf(dir / "start.mid", kPpqn,
                       {{1, 0, {0xC0, 15}},
                        {1, 0, {0x90, 48, 100}},
                        {1, 0, {0x90, 55, 90}},
                        {1, 300, {0x80, 48, 0}},
                        {1, 360, {0x80, 55, 0}}});
    tooltest::writeSmf(dir / "change.mid", kPpqn,
                       {{1, 0, {0x90, 60, 100}},
                        {1, 250, {0xC0, 23}},
                        {1, 250, {0x90, 64, 80}},
                        {1, 480, {0x80, 60, 0}},
                        {1, 600, {0x80, 64, 0}}});
    struct Through {
        std::string name;
        std::string plugin;
    };
    const std::vector<Through> formats = {{"vst2", QUARNEL_PLUGIN_PATH},
                                          {"clap", QUARNEL_CLAP_PATH},
                                          {"vst3", QUARNEL_VST3_PATH},
                                          {"lv2", QUARNEL_LV2_PATH}};
    for (const std::string piece : {"start", "change"}) {
        std::string reference;
        for (const Through& format : formats) {
            const path out = dir / (piece + "-" + format.name + ".wav");
            const ProcessResult result =
                render({(dir / (piece + ".mid")).string(), "--plugin", format.plugin, "-r", "44100",
                        "-b", "512", "-t", "0.5", "-o", out.string(), "--cpu-time"});
            ASSERT_EQ(result.exitCode, 0) << format.name << ": " << result.err;
            EXPECT_EQ(result.err, "") << format.name;
            EXPECT_TRUE(contains(result.out, "calls=")) << result.out;
            const std::string bytes = tooltest::readText(out);
            if (reference.empty()) {
                reference = bytes;
                EXPECT_FALSE(contains(result.out, "peak -inf")) << result.out;
            } else {
                EXPECT_TRUE(bytes == reference) << piece << " through " << format.name;
            }
        }
    }
    // The name tells the format; --format overrides it, so a bundle read as VST 2.4 fails.
    const ProcessResult forced =
        render({(dir / "start.mid").string(), "--plugin", QUARNEL_CLAP_PATH, "--format", "vst3",
                "-o", (dir / "forced.wav").string()});
    EXPECT_EQ(forced.exitCode, 1);
    EXPECT_TRUE(contains(forced.err, "is not a bundle folder")) << forced.err;
    const ProcessResult listed = render({"--list-programs", "--plugin", QUARNEL_CLAP_PATH});
    EXPECT_EQ(listed.exitCode, 0) << listed.err;
    EXPECT_EQ(listed.out, render({"--list-programs", "--plugin", QUARNEL_PLUGIN_PATH}).out);
}
#endif

/// A library that loads but is not a plug-in: the one libsndfile lives in.
std::string libraryWithoutEntryPoint() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&sf_open), &info) == 0 || info.dli_fname == nullptr)
        return "";
    return info.dli_fname;
}

struct FailureCase {
    std::string name;
    std::vector<std::string> args; ///< after the MIDI path; {midi} and {dir} are replaced
    std::string midi;              ///< file name inside the scratch directory
    std::string message;           ///< part of the error on stderr
    int exitCode = 1;
};

TEST_F(RenderTool, FailuresExitNonZeroAndLeaveNoFiles) {
    tooltest::writeText(dir / "notes.txt", "This is not a MIDI file.\n");
    tooltest::writeSmf(dir / "meta-only.mid", kPpqn,
                       {{1, 0, tooltest::tempoEvent(500000)}, {1, 480, {0xFF, 0x01, 1, 'x'}}});
    tooltest::writeSmf(dir / "endless.mid", kPpqn,
                       {{1, 0, {0x90, 60, 100}}, {1, 0x0FFFFFFF, {0x80, 60, 0}}}); // 77 hours
    tooltest::fs::create_directory(dir / "taken.wav");
    tooltest::writeText(dir / "synth.dll", std::string("MZ\x90\0\x03\0\0\0", 8));
    const std::string probe = PROBE_INSTRUMENT_PATH;
    const std::string out = (dir / "out.wav").string();
    const std::string notPlugin = libraryWithoutEntryPoint();
    ASSERT_FALSE(notPlugin.empty());

    const std::vector<FailureCase> cases = {
        {"missing MIDI", {"--plugin", probe, "-o", out}, "absent.mid", "does not exist"},
        {"text as MIDI", {"--plugin", probe, "-o", out}, "notes.txt", "cannot read MIDI file"},
        {"no channel messages",
         {"--plugin", probe, "-o", out},
         "meta-only.mid",
         "contains no channel messages"},
        {"hostile length", {"--plugin", probe, "-o", out}, "endless.mid", "is too long"},
        {"too long for WAV",
         {"--plugin", probe, "-o", out, "-r", "384000", "-t", "3600"},
         "piece.mid",
         "too long for a WAV file"},
        {"missing plug-in",
         {"--plugin", (dir / "none.so").string(), "-o", out},
         "piece.mid",
         "does not exist"},
        {"text as plug-in",
         {"--plugin", (dir / "notes.txt").string(), "-o", out},
         "piece.mid",
         "cannot load plug-in"},
        {"program as plug-in",
         {"--plugin", "/bin/true", "-o", out},
         "piece.mid",
         "cannot load plug-in"},
        {"library without entry point",
         {"--plugin", notPlugin, "-o", out},
         "piece.mid",
         "no VSTPluginMain"},
        {"windows plug-in",
         {"--plugin", (dir / "synth.dll").string(), "-o", out},
         "piece.mid",
         "a Windows plug-in (DLL); this tool loads Linux .so plug-ins"},
        {"effect", {"--plugin", PROBE_EFFECT_PATH, "-o", out}, "piece.mid", "is not an instrument"},
        {"entry returns null",
         {"--plugin", PROBE_NULL_ENTRY_PATH, "-o", out},
         "piece.mid",
         "returned no effect"},
        {"output under a file",
         {"--plugin", probe, "-o", (dir / "notes.txt" / "x.wav").string()},
         "piece.mid",
         "cannot write"},
        {"output folder missing",
         {"--plugin", probe, "-o", (dir / "absent" / "x.wav").string()},
         "piece.mid",
         "the folder " + (dir / "absent").string() + " does not exist"},
        {"output is a directory",
         {"--plugin", probe, "-o", (dir / "taken.wav").string()},
         "piece.mid",
         "is a directory"},
        {"unknown output type",
         {"--plugin", probe, "-o", (dir / "out.mp3").string()},
         "piece.mid",
         "unknown output type"},
        {"program number",
         {"--plugin", probe, "-o", out, "-p", "8"},
         "piece.mid",
         "program 8 is out of range (0..7)"},
        {"program name",
         {"--plugin", probe, "-o", out, "-p", "Organ"},
         "piece.mid",
         "  3  Glass Bell"},
        {"sample rate", {"--plugin", probe, "-o", out, "-r", "100"}, "piece.mid", "--rate", 2},
        {"sample rate text",
         {"--plugin", probe, "-o", out, "-r", "abc"},
         "piece.mid",
         "not a whole number of hertz: abc",
         2},
        {"tail", {"--plugin", probe, "-o", out, "-t", "nan"}, "piece.mid", "--tail", 2},
    };
    const std::vector<std::string> before = dir.entries();
    for (const FailureCase& c : cases) {
        std::vector<std::string> args = {(dir / c.midi).string()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ProcessResult result = render(args);
        tooltest::fs::remove(dir / "trace.txt"); // written by the probe when it was loaded
        EXPECT_EQ(result.exitCode, c.exitCode) << c.name << "\n" << result.err;
        EXPECT_TRUE(contains(result.err, c.message)) << c.name << "\n" << result.err;
        EXPECT_EQ(result.out, "") << c.name;
        EXPECT_EQ(dir.entries(), before) << c.name; // no output, no temporary file
        EXPECT_TRUE(tooltest::fs::is_empty(dir / "taken.wav")) << c.name;
    }
}

} // namespace
