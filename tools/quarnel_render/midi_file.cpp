#include "tools/quarnel_render/midi_file.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace quarnel_render {

namespace {

/// Bytes of a chunk header: four-letter type and big-endian 32-bit length.
constexpr std::size_t kChunkHeaderBytes = 8;
/// Length of the MThd chunk's data: format, track count and time division, 16 bits each.
constexpr std::uint32_t kHeaderBytes = 6;
/// Highest Standard MIDI File format (0 single track, 1 parallel tracks, 2 sequences).
constexpr unsigned kMaxFormat = 2;
/// Longest variable-length quantity in a MIDI file (28 bits).
constexpr int kMaxVlqBytes = 4;
/// Status bytes of meta and system-exclusive events, and the End Of Track meta type.
constexpr unsigned char kMetaStatus = 0xFF;
constexpr unsigned char kSysExStatus = 0xF0;
constexpr unsigned char kEndOfTrackMeta = 0x2F;
/// The Set Tempo meta type and its data length (microseconds per quarter note, 24 bits).
constexpr unsigned char kTempoMeta = 0x51;
constexpr std::uint32_t kTempoBytes = 3;
/// The Time Signature meta type and its shortest data (numerator, denominator, clocks per
/// click, 32nd notes per quarter).
constexpr unsigned char kTimeSignatureMeta = 0x58;
constexpr std::uint32_t kTimeSignatureBytes = 4;
/// Format 2 (independent sequences) has no common timeline to merge the tracks on.
constexpr unsigned kSequencesFormat = 2;
/// Offsets in the file of the MThd fields: format, track count and time division.
constexpr std::size_t kFormatOffset = 8;
constexpr std::size_t kTrackCountOffset = 10;
constexpr std::size_t kDivisionOffset = 12;
/// The division's top bit marks SMPTE timing (frames per second and ticks per frame).
constexpr unsigned kSmpteDivisionBit = 0x8000;

/// Tempo until the first Set Tempo event: 120 beats per minute, microseconds per quarter note.
constexpr std::uint32_t kDefaultTempo = 500000;
constexpr double kMicrosecondsPerSecond = 1000000.0;

/// What reading a track chunk keeps: its channel messages and tempo changes, in file order,
/// at absolute times in ticks.
struct TrackContents {
    struct Message {
        std::uint64_t tick;
        ChannelMessage message;
    };
    /// A Set Tempo event, or a Time Signature event (microsecondsPerQuarter 0): each starts a
    /// new stretch of the tempo map, the second at the tempo in effect.
    struct Tempo {
        std::uint64_t tick;
        std::uint32_t microsecondsPerQuarter;
    };
    std::vector<Message> messages;
    std::vector<Tempo> tempos;
};

/// Reads a variable-length quantity of at most kMaxVlqBytes at bytes[at..end); advances at.
/// False when it runs past end or is too long.
bool readVlq(const std::vector<unsigned char>& bytes, std::size_t& at, std::size_t end,
             std::uint32_t& value) {
    value = 0;
    for (int count = 0; count < kMaxVlqBytes; ++count) {
        if (at >= end) return false;
        const unsigned char byte = bytes[at++];
        value = (value << 7) | (byte & 0x7Fu);
        if ((byte & 0x80) == 0) return true;
    }
    return false;
}

std::string hexByte(unsigned char value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

/// Checks the events of the track chunk whose data is bytes[begin..end) up to its End Of
/// Track event; with contents, also collects its channel messages and tempo changes there.
std::string checkTrack(const std::vector<unsigned char>& bytes, std::size_t begin, std::size_t end,
                       TrackContents* contents = nullptr) {
    const auto where = [&] {
        return "the track at byte " + std::to_string(begin - kChunkHeaderBytes);
    };
    std::size_t at = begin;
    std::uint64_t tick = 0;
    unsigned char runningStatus = 0; // 0: none in effect
    while (at < end) {
        std::uint32_t delta = 0;
        if (!readVlq(bytes, at, end, delta) || at >= end)
            return where() + " has a damaged delta time";
        tick += delta;
        unsigned char status = bytes[at];
        if (status < 0x80) {
            if (runningStatus == 0) return where() + " has a data byte without a status byte";
            status = runningStatus;
        } else {
            ++at;
        }
        if (isChannelStatus(status)) {
            const int dataBytes = dataByteCount(status);
            if (end - at < static_cast<std::size_t>(dataBytes))
                return where() + " ends inside an event";
            for (int i = 0; i < dataBytes; ++i) {
                if (bytes[at + i] > 0x7F) return where() + " has a status byte inside a message";
            }
            if (contents) {
                const unsigned char data2 = dataBytes == 2 ? bytes[at + 1] : 0;
                contents->messages.push_back({tick, {status, bytes[at], data2}});
            }
            at += static_cast<std::size_t>(dataBytes);
            runningStatus = status;
            continue;
        }
        // Meta and system-exclusive events cancel running status.
        runningStatus = 0;
        unsigned char metaType = 0;
        if (status == kMetaStatus) {
            if (at >= end) return where() + " ends inside an event";
            metaType = bytes[at++];
        } else if (status != kSysExStatus) {
            return where() + " has the unsupported status byte " + hexByte(status);
        }
        std::uint32_t length = 0;
        if (!readVlq(bytes, at, end, length) || end - at < length)
            return where() + " ends inside an event";
        if (status == kMetaStatus && metaType == kTempoMeta) {
            const bool zero =
                length == kTempoBytes && (bytes[at] | bytes[at + 1] | bytes[at + 2]) == 0;
            if (length != kTempoBytes || zero) return where() + " has an invalid tempo event";
            if (contents) {
                const std::uint32_t tempo = (std::uint32_t{bytes[at]} << 16) |
                                            (std::uint32_t{bytes[at + 1]} << 8) | bytes[at + 2];
                contents->tempos.push_back({tick, tempo});
            }
        }
        if (status == kMetaStatus && metaType == kTimeSignatureMeta) {
            if (length < kTimeSignatureBytes)
                return where() + " has an invalid time signature event";
            if (contents) contents->tempos.push_back({tick, 0});
        }
        at += length;
        if (status == kMetaStatus && metaType == kEndOfTrackMeta) return {};
    }
    return where() + " has no End Of Track event";
}

/// checkStructure; with contents, also collects every track chunk's there, in file order.
std::string readStructure(const std::vector<unsigned char>& bytes,
                          std::vector<TrackContents>* contents) {
    const auto bigEndian32 = [&](std::size_t at) {
        return (std::uint32_t{bytes[at]} << 24) | (std::uint32_t{bytes[at + 1]} << 16) |
               (std::uint32_t{bytes[at + 2]} << 8) | std::uint32_t{bytes[at + 3]};
    };
    const auto bigEndian16 = [&](std::size_t at) {
        return (unsigned{bytes[at]} << 8) | bytes[at + 1];
    };
    if (bytes.size() < kChunkHeaderBytes || std::memcmp(bytes.data(), "MThd", 4) != 0)
        return "no MThd header, not a Standard MIDI File";
    const std::uint32_t headerLength = bigEndian32(4);
    if (headerLength < kHeaderBytes) {
        return "the MThd header is " + std::to_string(headerLength) + " bytes long, at least " +
               std::to_string(kHeaderBytes) + " are needed";
    }
    if (bytes.size() < kChunkHeaderBytes + headerLength) {
        return "truncated file: it ends inside the MThd header, after " +
               std::to_string(bytes.size()) + " bytes";
    }
    const unsigned format = bigEndian16(kFormatOffset);
    const unsigned tracks = bigEndian16(kTrackCountOffset);
    const unsigned division = bigEndian16(kDivisionOffset);
    if (format > kMaxFormat) return "unknown MIDI file format " + std::to_string(format);
    if (tracks == 0) return "the MThd header declares no tracks";
    if (division == 0) return "its time division is 0 ticks per quarter note";
    if ((division & kSmpteDivisionBit) != 0)
        return "it uses SMPTE timing (frames per second), which is not supported";
    // Every chunk after the header: four-letter type and length, inside the file. Chunks of
    // other types than MTrk are skipped, as the file standard asks of readers.
    std::size_t offset = kChunkHeaderBytes + headerLength;
    unsigned trackChunks = 0;
    while (offset < bytes.size()) {
        if (bytes.size() - offset < kChunkHeaderBytes) {
            return "truncated file: it ends inside the chunk header at byte " +
                   std::to_string(offset);
        }
        const std::uint64_t length = bigEndian32(offset + 4);
        const std::size_t remaining = bytes.size() - offset - kChunkHeaderBytes;
        if (length > remaining) {
            return "truncated file: the chunk at byte " + std::to_string(offset) + " declares " +
                   std::to_string(length) + " bytes but only " + std::to_string(remaining) +
                   " follow";
        }
        const std::size_t data = offset + kChunkHeaderBytes;
        if (std::memcmp(bytes.data() + offset, "MTrk", 4) == 0) {
            TrackContents* track = contents ? &contents->emplace_back() : nullptr;
            std::string damage =
                checkTrack(bytes, data, data + static_cast<std::size_t>(length), track);
            if (!damage.empty()) return damage;
            ++trackChunks;
        }
        offset = data + static_cast<std::size_t>(length);
    }
    if (trackChunks < tracks) {
        return "the MThd header declares " + std::to_string(tracks) + " tracks but the file has " +
               std::to_string(trackChunks);
    }
    return {};
}

/// Seconds from the start of the piece at each tick, following the tempo changes of every track.
class TempoMap {
  public:
    TempoMap(std::vector<TrackContents::Tempo> changes, unsigned ticksPerQuarter)
        : ticksPerQuarter(ticksPerQuarter) {
        // In time order; of the tempos on one tick the last one in track order holds.
        std::stable_sort(changes.begin(), changes.end(),
                         [](const TrackContents::Tempo& a, const TrackContents::Tempo& b) {
                             return a.tick < b.tick;
                         });
        segments.push_back({0, 0.0, kDefaultTempo});
        for (const TrackContents::Tempo& change : changes) {
            if (change.tick != segments.back().tick) {
                const double at = seconds(change.tick);
                segments.push_back({change.tick, at, segments.back().microsecondsPerQuarter});
            }
            if (change.microsecondsPerQuarter != 0)
                segments.back().microsecondsPerQuarter = change.microsecondsPerQuarter;
        }
        next = 1;
    }

    /// Ticks must not decrease from one call to the next, or from the last change on.
    double seconds(std::uint64_t tick) {
        while (next < segments.size() && segments[next].tick <= tick)
            ++next;
        const Segment& segment = segments[next - 1];
        return segment.seconds +
               static_cast<double>(tick - segment.tick) *
                   (segment.microsecondsPerQuarter /
                    (static_cast<double>(ticksPerQuarter) * kMicrosecondsPerSecond));
    }

  private:
    struct Segment {
        std::uint64_t tick;
        double seconds; ///< at tick
        std::uint32_t microsecondsPerQuarter;
    };
    std::vector<Segment> segments;
    std::size_t next = 1;
    unsigned ticksPerQuarter;
};

} // namespace

std::string checkStructure(const std::vector<unsigned char>& bytes) {
    return readStructure(bytes, nullptr);
}

MidiFileContents readMidiFile(const std::string& path) {
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (!std::filesystem::exists(status))
        throw MidiFileError("MIDI file " + path + " does not exist");
    if (std::filesystem::is_directory(status))
        throw MidiFileError("MIDI file " + path + " is a directory");

    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    if (ec) throw MidiFileError("cannot read MIDI file " + path + ": " + ec.message());
    if (size > kMaxMidiFileBytes) {
        throw MidiFileError("cannot read MIDI file " + path + ": larger than " +
                            std::to_string(kMaxMidiFileBytes >> 20) + " MiB");
    }
    std::vector<unsigned char> bytes(static_cast<std::size_t>(size));
    std::ifstream in(path, std::ios::binary);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!in) throw MidiFileError("cannot read MIDI file " + path);

    std::vector<TrackContents> tracks;
    const std::string damage = readStructure(bytes, &tracks);
    if (!damage.empty()) throw MidiFileError("cannot read MIDI file " + path + ": " + damage);
    if (((unsigned{bytes[kFormatOffset]} << 8) | bytes[kFormatOffset + 1]) == kSequencesFormat)
        throw MidiFileError("cannot read MIDI file " + path +
                            ": its MIDI file format (2, independent sequences) is not supported");

    // The tracks merged in time order: on one tick the earlier track first, and each track's
    // messages in file order. One stable sort of them all: a merge that looks at every track
    // for each message takes tracks x messages steps, minutes for a file of 65,535 tracks.
    std::vector<TrackContents::Message> merged;
    std::vector<TrackContents::Tempo> tempos;
    for (const TrackContents& track : tracks) {
        merged.insert(merged.end(), track.messages.begin(), track.messages.end());
        tempos.insert(tempos.end(), track.tempos.begin(), track.tempos.end());
    }
    std::stable_sort(merged.begin(), merged.end(),
                     [](const TrackContents::Message& a, const TrackContents::Message& b) {
                         return a.tick < b.tick;
                     });

    TempoMap tempoMap(std::move(tempos),
                      (unsigned{bytes[kDivisionOffset]} << 8) | bytes[kDivisionOffset + 1]);
    MidiFileContents contents;
    contents.trackCount = static_cast<int>(tracks.size());
    contents.messages.reserve(merged.size());
    for (const TrackContents::Message& m : merged)
        contents.messages.push_back({tempoMap.seconds(m.tick), m.message});
    return contents;
}

} // namespace quarnel_render
