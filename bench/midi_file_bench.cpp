// Reading a MIDI file of many tracks through the render tool's reader: a format 1 file whose
// every track plays one note (at a tick of its own among 16, so the merge interleaves them),
// as a generated or fuzzed file may have up to the 65,535 tracks the header can declare. The
// items-per-second counter is tracks read per second; it stays level as the count grows when
// the reading is linear in the tracks.
#include "tools/quarnel_render/midi_file.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

void appendBigEndian(std::vector<unsigned char>& bytes, std::uint32_t value, int count) {
    for (int shift = 8 * (count - 1); shift >= 0; shift -= 8)
        bytes.push_back(static_cast<unsigned char>(value >> shift));
}

/// A format 1 file of tracks tracks (1..65,535) at 96 ticks per quarter note.
std::vector<unsigned char> manyTrackFile(int tracks) {
    std::vector<unsigned char> bytes = {'M', 'T', 'h', 'd'};
    appendBigEndian(bytes, 6, 4);
    appendBigEndian(bytes, 1, 2);
    appendBigEndian(bytes, static_cast<std::uint32_t>(tracks), 2);
    appendBigEndian(bytes, 96, 2);
    for (int track = 0; track < tracks; ++track) {
        const auto channel = static_cast<unsigned char>(track % 16);
        const auto note = static_cast<unsigned char>(30 + track % 60);
        const unsigned char events[] = {static_cast<unsigned char>(track % 16),
                                        static_cast<unsigned char>(0x90 | channel),
                                        note,
                                        100,
                                        60,
                                        static_cast<unsigned char>(0x80 | channel),
                                        note,
                                        0,
                                        0,
                                        0xFF,
                                        0x2F,
                                        0};
        bytes.insert(bytes.end(), {'M', 'T', 'r', 'k'});
        appendBigEndian(bytes, sizeof events, 4);
        bytes.insert(bytes.end(), std::begin(events), std::end(events));
    }
    return bytes;
}

void readManyTracks(benchmark::State& state) {
    const int tracks = static_cast<int>(state.range(0));
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("quarnel-bench-" + std::to_string(tracks) + "-tracks.mid"))
                                 .string();
    {
        const std::vector<unsigned char> bytes = manyTrackFile(tracks);
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }
    for (auto _ : state) {
        const quarnel_render::MidiFileContents contents = quarnel_render::readMidiFile(path);
        if (contents.messages.size() != static_cast<std::size_t>(2 * tracks)) {
            state.SkipWithError("the file's notes were not all read");
            break;
        }
        benchmark::DoNotOptimize(contents.messages.data());
    }
    std::filesystem::remove(path);
    state.SetItemsProcessed(state.iterations() * tracks);
}

} // namespace

BENCHMARK(readManyTracks)->Arg(4096)->Arg(16384)->Arg(65535)->Unit(benchmark::kMillisecond);
