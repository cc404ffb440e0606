// quarnel-write-chord: writes a Standard MIDI File that holds one chord for a fixed time, the
// piece the speed table renders through every instrument.
//
// Usage: quarnel-write-chord OUTPUT.mid SECONDS VELOCITY [NOTE...]
//
// Every note starts at time 0 on channel 1 and ends exactly SECONDS later, at 120 bpm (the
// file's default tempo, 960 ticks a second). Without notes the file holds only an all-notes-off
// controller at SECONDS, so that a render of it runs just as long with nothing playing. The
// output is the same byte for byte on every run.

// glib.h first: smf.h includes it inside extern "C", where its C++ parts cannot go.
#include <glib.h>
#include <smf.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

/// Ticks per quarter note; at the default 120 bpm a second is two quarters.
constexpr int kPpqn = 480;
constexpr int kTicksPerSecond = 2 * kPpqn;
/// Longest chord written (seconds); a longer one is a typing error.
constexpr double kMaxSeconds = 3600.0;

constexpr int kNoteOn = 0x90;
constexpr int kNoteOff = 0x80;
constexpr int kControlChange = 0xB0;
constexpr int kAllNotesOff = 123;

struct SmfDeleter {
    void operator()(smf_t* smf) const { smf_delete(smf); }
};

bool parseWhole(const char* text, int low, int high, int& value) {
    char* end = nullptr;
    const long parsed = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || parsed < low || parsed > high) return false;
    value = static_cast<int>(parsed);
    return true;
}

bool addMessage(smf_track_t* track, int tick, int status, int data1, int data2) {
    smf_event_t* event = smf_event_new_from_bytes(status, data1, data2);
    if (!event) return false;
    smf_track_add_event_pulses(track, event, tick);
    return true;
}

int usage() {
    std::fprintf(stderr, "usage: quarnel-write-chord OUTPUT.mid SECONDS VELOCITY [NOTE...]\n"
                         "  SECONDS 0.001..3600, VELOCITY 1..127, NOTE 0..127\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4) return usage();
    char* end = nullptr;
    const double seconds = std::strtod(argv[2], &end);
    if (end == argv[2] || *end != '\0' || !(seconds > 0.0) || seconds > kMaxSeconds) return usage();
    int velocity = 0;
    if (!parseWhole(argv[3], 1, 127, velocity)) return usage();
    std::vector<int> notes;
    for (int i = 4; i < argc; ++i) {
        int note = 0;
        if (!parseWhole(argv[i], 0, 127, note)) return usage();
        notes.push_back(note);
    }
    const int endTick = static_cast<int>(std::lround(seconds * kTicksPerSecond));
    if (endTick < 1) return usage();

    std::unique_ptr<smf_t, SmfDeleter> smf(smf_new());
    smf_track_t* track = smf ? smf_track_new() : nullptr;
    if (!track || smf_set_ppqn(smf.get(), kPpqn) != 0) {
        std::fprintf(stderr, "quarnel-write-chord: out of memory\n");
        return 1;
    }
    smf_add_track(smf.get(), track);
    bool written = true;
    for (int note : notes)
        written = written && addMessage(track, 0, kNoteOn, note, velocity);
    for (int note : notes)
        written = written && addMessage(track, endTick, kNoteOff, note, 0);
    if (notes.empty()) written = addMessage(track, endTick, kControlChange, kAllNotesOff, 0);
    if (!written || smf_save(smf.get(), argv[1]) != 0) {
        std::fprintf(stderr, "quarnel-write-chord: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
