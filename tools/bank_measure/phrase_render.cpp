#include "tools/bank_measure/phrase_render.h"

#include <sndfile.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace bank_measure {

namespace {
/// The arpeggio's notes (C4 E4 G4 C5), each struck this long apart before the chord.
constexpr int kPhraseNotes[] = {60, 64, 67, 72};
constexpr double kStepSeconds = 0.3;
/// The chord is held this long, then everything is released.
constexpr double kChordSeconds = 1.2;
constexpr int kVelocity = 100;
} // namespace

bool writePhrase(const PluginPlayer& player, int program, const std::string& path,
                 std::string& error) {
    const double rate = player.settings().sampleRate;
    auto frame = [&](double seconds) {
        return static_cast<std::int64_t>(std::lround(seconds * rate));
    };
    std::vector<TimedMessage> messages;
    double t = 0.0;
    for (int note : kPhraseNotes) {
        messages.push_back(noteOn(frame(t), note, kVelocity));
        messages.push_back(noteOff(frame(t + kStepSeconds), note));
        t += kStepSeconds;
    }
    for (int note : kPhraseNotes)
        messages.push_back(noteOn(frame(t), note, kVelocity));
    t += kChordSeconds;
    for (int note : kPhraseNotes)
        messages.push_back(noteOff(frame(t), note));
    const StereoSignal signal = player.render(program, messages, frame(kPhraseSeconds));

    SF_INFO info{};
    info.samplerate = static_cast<int>(rate);
    info.channels = 2;
    // 24-bit PCM: every reader takes it without complaint (a float WAV's format chunk is read
    // differently by different tools), and the bank's phrases stay well below full scale.
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file) {
        error = sf_strerror(nullptr);
        return false;
    }
    sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    std::vector<float> interleaved(2 * signal.frames());
    for (std::size_t i = 0; i < signal.frames(); ++i) {
        interleaved[2 * i] = signal.left[i];
        interleaved[2 * i + 1] = signal.right[i];
    }
    const sf_count_t written =
        sf_writef_float(file, interleaved.data(), static_cast<sf_count_t>(signal.frames()));
    const bool complete = written == static_cast<sf_count_t>(signal.frames());
    if (!complete) error = sf_strerror(file);
    sf_close(file);
    return complete;
}

} // namespace bank_measure
