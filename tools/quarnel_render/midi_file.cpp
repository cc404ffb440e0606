#include "tools/quarnel_render/midi_file.h"

// glib.h first: smf.h includes it inside extern "C", where its C++ parts cannot go.
#include <glib.h>
#include <smf.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
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
/// Offsets in the file of the MThd fields: format, track count and time division.
constexpr std::size_t kFormatOffset = 8;
constexpr std::size_t kTrackCountOffset = 10;
constexpr std::size_t kDivisionOffset = 12;
/// The division's top bit marks SMPTE timing (frames per second and ticks per frame).
constexpr unsigned kSmpteDivisionBit = 0x8000;

/// Log domain of libsmf's diagnostics (it reports parse errors through GLib logging).
constexpr const char* kSmfLogDomain = "libsmf";

/// What a diagnostic of libsmf means, in the tool's words (its texts are not shown as such).
std::string describeSmfMessage(const std::string& message) {
    const auto has = [&](const char* part) { return message.find(part) != std::string::npos; };
    if (has("FPS")) return "it uses SMPTE timing (frames per second), which is not supported";
    if (has("PPQN")) return "its time division is 0 ticks per quarter note";
    if (has("format")) return "its MIDI file format is not supported";
    if (has("End Of Track")) return "a track has more than one End Of Track event";
    if (has("track")) return "a track cannot be read";
    return "an event cannot be read";
}

/// Collects libsmf's diagnostics while it is installed, instead of letting GLib print them.
class SmfLogCapture {
  public:
    SmfLogCapture() {
        const auto levels =
            static_cast<GLogLevelFlags>(G_LOG_LEVEL_MASK | G_LOG_FLAG_FATAL | G_LOG_FLAG_RECURSION);
        handlerId = g_log_set_handler(kSmfLogDomain, levels, &SmfLogCapture::collect, this);
    }
    ~SmfLogCapture() { g_log_remove_handler(kSmfLogDomain, handlerId); }
    SmfLogCapture(const SmfLogCapture&) = delete;
    SmfLogCapture& operator=(const SmfLogCapture&) = delete;

    /// The first error libsmf reported, in the tool's words, or "".
    std::string error() const { return firstError; }

  private:
    static void collect(const gchar*, GLogLevelFlags level, const gchar* message, gpointer self) {
        auto* capture = static_cast<SmfLogCapture*>(self);
        // Warnings (such as fewer tracks than the header declares) do not lose content.
        const bool isError = (level & (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL)) != 0;
        if (isError && capture->firstError.empty())
            capture->firstError = describeSmfMessage(message ? message : "");
    }

    guint handlerId = 0;
    std::string firstError;
};

struct SmfDeleter {
    void operator()(smf_t* smf) const { smf_delete(smf); }
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

/// Checks the events of the track chunk whose data is bytes[begin..end).
std::string checkTrack(const std::vector<unsigned char>& bytes, std::size_t begin,
                       std::size_t end) {
    const std::string where = "the track at byte " + std::to_string(begin - kChunkHeaderBytes);
    std::size_t at = begin;
    unsigned char runningStatus = 0; // 0: none in effect
    while (at < end) {
        std::uint32_t delta = 0;
        if (!readVlq(bytes, at, end, delta) || at >= end)
            return where + " has a damaged delta time";
        unsigned char status = bytes[at];
        if (status < 0x80) {
            if (runningStatus == 0) return where + " has a data byte without a status byte";
            status = runningStatus;
        } else {
            ++at;
        }
        if (isChannelStatus(status)) {
            const int dataBytes = dataByteCount(status);
            if (end - at < static_cast<std::size_t>(dataBytes))
                return where + " ends inside an event";
            for (int i = 0; i < dataBytes; ++i) {
                if (bytes[at + i] > 0x7F) return where + " has a status byte inside a message";
            }
            at += static_cast<std::size_t>(dataBytes);
            runningStatus = status;
            continue;
        }
        // Meta and system-exclusive events cancel running status.
        runningStatus = 0;
        unsigned char metaType = 0;
        if (status == kMetaStatus) {
            if (at >= end) return where + " ends inside an event";
            metaType = bytes[at++];
        } else if (status != kSysExStatus) {
            return where + " has the unsupported status byte " + hexByte(status);
        }
        std::uint32_t length = 0;
        if (!readVlq(bytes, at, end, length) || end - at < length)
            return where + " ends inside an event";
        if (status == kMetaStatus && metaType == kTempoMeta) {
            const bool zero =
                length == kTempoBytes && (bytes[at] | bytes[at + 1] | bytes[at + 2]) == 0;
            if (length != kTempoBytes || zero) return where + " has an invalid tempo event";
        }
        at += length;
        if (status == kMetaStatus && metaType == kEndOfTrackMeta) return {};
    }
    return where + " has no End Of Track event";
}

} // namespace

std::string checkStructure(const std::vector<unsigned char>& bytes) {
    const auto bigEndian32 = [&](std::size_t at) {
        return (std::uint32_t{bytes[at]} << 24) | (std::uint32_t{bytes[at + 1]} << 16) |
               (std::uint32_t{bytes[at + 2]} << 8) | std::uint32_t{bytes[at + 3]};
    };
    const auto bigEndian16 = [&](std::size_t at) {
        return (unsigned{bytes[at]} << 8) | bytes[at + 1];
    };
    if (bytes.size() < kChunkHeaderBytes || std::memcmp(bytes.data(), "MThd", 4) != 0)
        return "no MThd header, not a Standard MIDI File";
    // libsmf does not free its record when it rejects a header, so the header is checked here.
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
            std::string damage = checkTrack(bytes, data, data + static_cast<std::size_t>(length));
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

std::vector<unsigned char> tracksOnly(const std::vector<unsigned char>& bytes) {
    const auto length = [&](std::size_t at) {
        return static_cast<std::size_t>((std::uint32_t{bytes[at + 4]} << 24) |
                                        (std::uint32_t{bytes[at + 5]} << 16) |
                                        (std::uint32_t{bytes[at + 6]} << 8) | bytes[at + 7]);
    };
    std::vector<unsigned char> copy(bytes.begin(),
                                    bytes.begin() + kChunkHeaderBytes + kHeaderBytes);
    copy[7] = static_cast<unsigned char>(kHeaderBytes); // extra header fields are dropped
    unsigned trackChunks = 0;
    for (std::size_t offset = kChunkHeaderBytes + length(0); offset < bytes.size();
         offset += kChunkHeaderBytes + length(offset)) {
        if (std::memcmp(bytes.data() + offset, "MTrk", 4) != 0) continue;
        const auto chunk = bytes.begin() + static_cast<std::ptrdiff_t>(offset);
        copy.insert(copy.end(), chunk,
                    chunk + static_cast<std::ptrdiff_t>(kChunkHeaderBytes + length(offset)));
        ++trackChunks;
    }
    copy[kTrackCountOffset] = static_cast<unsigned char>(trackChunks >> 8);
    copy[kTrackCountOffset + 1] = static_cast<unsigned char>(trackChunks);
    return copy;
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

    // libsmf trusts the chunk lengths (and reads past the end of a truncated file) and stops
    // the program on some damaged events, so the structure is checked first.
    const std::string damage = checkStructure(bytes);
    if (!damage.empty()) throw MidiFileError("cannot read MIDI file " + path + ": " + damage);

    std::unique_ptr<smf_t, SmfDeleter> smf;
    std::string problem;
    {
        SmfLogCapture capture;
        // libsmf stops at the first chunk it does not know, losing the tracks after it.
        std::vector<unsigned char> tracks = tracksOnly(bytes);
        smf.reset(smf_load_from_memory(tracks.data(), static_cast<int>(tracks.size())));
        problem = capture.error();
    }
    // libsmf reports damage it works around (an event it cannot parse ends its track) as an
    // error but still returns the file: content would be lost, so it is refused.
    if (!smf || !problem.empty()) {
        throw MidiFileError("cannot read MIDI file " + path +
                            (problem.empty() ? std::string() : ": " + problem));
    }

    MidiFileContents contents;
    contents.trackCount = smf->number_of_tracks;
    smf_rewind(smf.get());
    // smf_get_next_event merges the tracks in time order; time_seconds follows the tempo map.
    while (smf_event_t* event = smf_get_next_event(smf.get())) {
        const int length = event->midi_buffer_length;
        const unsigned char* data = event->midi_buffer;
        if (length < 1 || data == nullptr || !isChannelStatus(data[0])) continue;
        const int dataBytes = dataByteCount(data[0]);
        if (length < 1 + dataBytes) continue;
        if (data[1] > 0x7F || (dataBytes == 2 && data[2] > 0x7F)) continue;
        TimedMessage timed;
        timed.seconds = event->time_seconds;
        timed.message.status = data[0];
        timed.message.data1 = data[1];
        timed.message.data2 = dataBytes == 2 ? data[2] : 0;
        contents.messages.push_back(timed);
    }
    return contents;
}

} // namespace quarnel_render
