// quarnel-write-demo: writes the project's demo piece, examples/demo.mid, with libsmf.
//
// Usage: quarnel-write-demo OUTPUT.mid
//
// A short piece in C major (I vi IV V vi IV V I), six bars of 4/4 at 100 bpm slowing to 88 and
// then 76 bpm over the last bar. Each section is one track that starts with a program change,
// because the instrument plays one program at a time: keys intro, pad chords, a lead melody
// over its own bass, and a bell ending. No more than six notes sound at once. The output is
// the same byte for byte on every run.

// glib.h first: smf.h includes it inside extern "C", where its C++ parts cannot go.
#include <glib.h>
#include <smf.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

/// Ticks per quarter note.
constexpr int kPpqn = 480;
constexpr int kBeat = kPpqn;
constexpr int kEighth = kPpqn / 2;
constexpr int kBar = 4 * kBeat;

/// Microseconds per quarter note for 100, 88 and 76 beats per minute.
constexpr int kTempo100 = 600000;
constexpr int kTempo88 = 681818;
constexpr int kTempo76 = 789474;

/// Programs of the instrument's built-in bank used by the sections.
constexpr int kProgramLead1 = 0;
constexpr int kProgramPad1 = 15;
constexpr int kProgramKeys1 = 23;
constexpr int kProgramBell1 = 38;

constexpr std::uint8_t kNoteOff = 0x80;
constexpr std::uint8_t kNoteOn = 0x90;
constexpr std::uint8_t kProgramChange = 0xC0;

/// MIDI note numbers (C4 = 60, middle C).
enum Note : int {
    F2 = 41,
    G2 = 43,
    A2 = 45,
    C3 = 48,
    D3 = 50,
    E3 = 52,
    F3 = 53,
    G3 = 55,
    A3 = 57,
    C4 = 60,
    E4 = 64,
    F4 = 65,
    G4 = 67,
    A4 = 69,
    B4 = 71,
    C5 = 72,
    D5 = 74,
    E5 = 76,
    F5 = 77,
    G5 = 79,
};

struct DemoNote {
    int note;
    int start;    ///< ticks from the start of the piece
    int length;   ///< ticks
    int velocity; ///< 1..127
};

/// One section: a track on its own channel that selects its program where it begins.
struct Section {
    const char* name;
    int channel; ///< 0..15
    int program;
    int start; ///< ticks
    std::vector<DemoNote> notes;
};

struct SmfDeleter {
    void operator()(smf_t* smf) const { smf_delete(smf); }
};

/// A channel message of a track before it is handed to libsmf: ordered by tick, and on the
/// same tick note-offs first, then program changes, then note-ons.
struct TrackMessage {
    int tick;
    int order;
    int bytes[3]; ///< -1 marks an absent data byte
};

std::vector<Section> demoSections() {
    std::vector<Section> sections;

    // Bar 1, C: keys, a broken chord over a held open fifth.
    Section keys{"Keys", 0, kProgramKeys1, 0, {}};
    keys.notes = {{C3, 0, 1800, 70}, {G3, 0, 1800, 62}};
    const int arpeggio[] = {E4, G4, C5, E5, D5, C5, G4, E4};
    const int arpeggioVelocity[] = {84, 72, 78, 90, 76, 78, 70, 64};
    for (int i = 0; i < 8; ++i)
        keys.notes.push_back({arpeggio[i], i * kEighth, i == 7 ? 200 : 220, arpeggioVelocity[i]});
    sections.push_back(keys);

    // Bar 2, Am then F: pad chords.
    const int bar2 = kBar;
    Section pad{"Pad", 1, kProgramPad1, bar2, {}};
    pad.notes = {{A2, bar2, 900, 70},
                 {A3, bar2, 900, 66},
                 {C4, bar2, 900, 64},
                 {E4, bar2, 900, 64},
                 {A4, bar2, 900, 60},
                 {F2, bar2 + 2 * kBeat, 900, 70},
                 {F3, bar2 + 2 * kBeat, 900, 66},
                 {A3, bar2 + 2 * kBeat, 900, 64},
                 {C4, bar2 + 2 * kBeat, 900, 64},
                 {F4, bar2 + 2 * kBeat, 900, 60}};
    sections.push_back(pad);

    // Bars 3 and 4, G | Am F: lead melody over its own bass.
    const int bar3 = 2 * kBar;
    const int bar4 = 3 * kBar;
    Section lead{"Lead", 2, kProgramLead1, bar3, {}};
    lead.notes = {{G2, bar3, 1800, 70},
                  {D3, bar3, 1800, 58},
                  {B4, bar3, 460, 90},
                  {D5, bar3 + kBeat, 460, 86},
                  {G5, bar3 + 2 * kBeat, 700, 98},
                  {F5, bar3 + 3 * kBeat + kEighth, 220, 80},
                  {A2, bar4, 900, 70},
                  {E3, bar4, 900, 58},
                  {E5, bar4, 900, 94},
                  {F2, bar4 + 2 * kBeat, 900, 70},
                  {C3, bar4 + 2 * kBeat, 900, 58},
                  {D5, bar4 + 2 * kBeat, 440, 84},
                  {C5, bar4 + 3 * kBeat, 440, 80}};
    sections.push_back(lead);

    // Bars 5 and 6, G7 | C: bells, a rising arpeggio and a rolled final chord while the
    // tempo slows.
    const int bar5 = 4 * kBar;
    const int bar6 = 5 * kBar;
    Section bell{"Bell", 3, kProgramBell1, bar5, {}};
    bell.notes = {{G3, bar5, 1800, 60},
                  {G4, bar5, 440, 80},
                  {B4, bar5 + kBeat, 440, 76},
                  {D5, bar5 + 2 * kBeat, 440, 82},
                  {F5, bar5 + 3 * kBeat, 440, 86}};
    const int finalChord[] = {C3, C4, E4, G4, C5, E5};
    const int finalVelocity[] = {66, 70, 72, 76, 80, 84};
    constexpr int kRollStep = 60; // ticks between the notes of the rolled chord
    constexpr int kFinalEnd = bar6 + 1800;
    for (int i = 0; i < 6; ++i) {
        const int start = bar6 + i * kRollStep;
        bell.notes.push_back({finalChord[i], start, kFinalEnd - start, finalVelocity[i]});
    }
    sections.push_back(bell);
    return sections;
}

bool addMeta(smf_track_t* track, int tick, std::vector<unsigned char> bytes) {
    smf_event_t* event = smf_event_new_from_pointer(bytes.data(), static_cast<int>(bytes.size()));
    if (!event) return false;
    smf_track_add_event_pulses(track, event, tick);
    return true;
}

bool addText(smf_track_t* track, int type, const char* text) {
    smf_event_t* event = smf_event_new_textual(type, text);
    if (!event) return false;
    smf_track_add_event_pulses(track, event, 0);
    return true;
}

bool addTempo(smf_track_t* track, int tick, int microsecondsPerQuarter) {
    return addMeta(track, tick,
                   {0xFF, 0x51, 0x03, static_cast<unsigned char>(microsecondsPerQuarter >> 16),
                    static_cast<unsigned char>((microsecondsPerQuarter >> 8) & 0xFF),
                    static_cast<unsigned char>(microsecondsPerQuarter & 0xFF)});
}

/// Meta event type of a track name.
constexpr int kTrackNameMeta = 0x03;

bool addSection(smf_t* smf, const Section& section) {
    smf_track_t* track = smf_track_new();
    if (!track) return false;
    smf_add_track(smf, track);
    if (!addText(track, kTrackNameMeta, section.name)) return false;

    std::vector<TrackMessage> messages;
    messages.push_back({section.start, 1, {kProgramChange | section.channel, section.program, -1}});
    for (const DemoNote& n : section.notes) {
        messages.push_back({n.start, 2, {kNoteOn | section.channel, n.note, n.velocity}});
        messages.push_back({n.start + n.length, 0, {kNoteOff | section.channel, n.note, 0}});
    }
    std::stable_sort(messages.begin(), messages.end(),
                     [](const TrackMessage& a, const TrackMessage& b) {
                         return a.tick != b.tick ? a.tick < b.tick : a.order < b.order;
                     });
    for (const TrackMessage& m : messages) {
        smf_event_t* event = smf_event_new_from_bytes(m.bytes[0], m.bytes[1], m.bytes[2]);
        if (!event) return false;
        smf_track_add_event_pulses(track, event, m.tick);
    }
    return true;
}

bool writeDemo(const char* path) {
    std::unique_ptr<smf_t, SmfDeleter> smf(smf_new());
    if (!smf || smf_set_ppqn(smf.get(), kPpqn) != 0) return false;

    // Conductor track: name, 4/4 time, the tempo and the closing ritardando.
    smf_track_t* conductor = smf_track_new();
    if (!conductor) return false;
    smf_add_track(smf.get(), conductor);
    const int bar6 = 5 * kBar;
    if (!addText(conductor, kTrackNameMeta, "Quarnel demo") ||
        !addMeta(conductor, 0, {0xFF, 0x58, 0x04, 4, 2, 24, 8}) ||
        !addTempo(conductor, 0, kTempo100) || !addTempo(conductor, bar6, kTempo88) ||
        !addTempo(conductor, bar6 + 2 * kBeat, kTempo76))
        return false;

    for (const Section& section : demoSections()) {
        if (!addSection(smf.get(), section)) return false;
    }
    return smf_save(smf.get(), path) == 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: quarnel-write-demo OUTPUT.mid\n");
        return 2;
    }
    if (!writeDemo(argv[1])) {
        std::fprintf(stderr, "quarnel-write-demo: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
