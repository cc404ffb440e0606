#include "tools/quarnel_render/audio_writer.h"

#include <sndfile.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace quarnel_render {

namespace {

constexpr int kChannels = 2;

std::string lowerCase(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

int sndfileFormat(AudioFormat format) {
    switch (format) {
    case AudioFormat::Flac24:
        return SF_FORMAT_FLAC | SF_FORMAT_PCM_24;
    case AudioFormat::WavFloat32:
        break;
    }
    return SF_FORMAT_WAV | SF_FORMAT_FLOAT;
}

/// Bytes of a RIFF chunk header (four-letter id, 32-bit little-endian size) and of the plain
/// format fields; IEEE float data also wants the 16-bit extension size after them (0 here).
constexpr std::size_t kChunkHeader = 8;
constexpr std::uint32_t kPlainFormatBytes = 16;
constexpr std::uint32_t kExtendedFormatBytes = 18;
/// The most header bytes looked at: libsndfile puts the data chunk within the first 512.
constexpr std::size_t kHeaderBytes = 512;

std::uint32_t readLittle32(const unsigned char* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

void writeLittle32(unsigned char* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}

/// libsndfile writes a float WAV's format chunk without the extension size that a non-PCM
/// format chunk carries (readers such as sox warn of it), and pads the header with a PAD chunk
/// so that the data starts at a fixed place. The two bytes go into the format chunk and the PAD
/// chunk gives them up, so the data stays where it is and only the header is rewritten. A
/// header of another shape is left as it is.
void addFormatExtension(std::FILE* wav) {
    unsigned char header[kHeaderBytes];
    const std::size_t n = std::fread(header, 1, sizeof header, wav);
    constexpr std::size_t kFirstChunk = 12; // after "RIFF", the size and "WAVE"
    const std::size_t format = kFirstChunk;
    if (n < format + kChunkHeader + kPlainFormatBytes ||
        std::memcmp(header + format, "fmt ", 4) != 0 ||
        readLittle32(header + format + 4) != kPlainFormatBytes)
        return;
    // The chunks between the format chunk and the PAD chunk move up by two bytes.
    const std::size_t moved = format + kChunkHeader + kPlainFormatBytes;
    std::size_t pad = moved;
    while (pad + kChunkHeader <= n && std::memcmp(header + pad, "PAD ", 4) != 0) {
        if (std::memcmp(header + pad, "data", 4) == 0) return;
        pad += kChunkHeader + readLittle32(header + pad + 4);
    }
    if (pad + kChunkHeader > n || readLittle32(header + pad + 4) < 2) return;
    const std::uint32_t padBytes = readLittle32(header + pad + 4);
    unsigned char rewritten[kHeaderBytes];
    std::memcpy(rewritten, header, moved);
    writeLittle32(rewritten + format + 4, kExtendedFormatBytes);
    rewritten[moved] = rewritten[moved + 1] = 0;
    std::memcpy(rewritten + moved + 2, header + moved, pad - moved);
    std::memcpy(rewritten + pad + 2, "PAD ", 4);
    writeLittle32(rewritten + pad + 6, padBytes - 2);
    std::memset(rewritten + pad + 2 + kChunkHeader, 0, padBytes - 2);
    const std::size_t length = pad + kChunkHeader + padBytes;
    if (length > n) return;
    std::fseek(wav, 0, SEEK_SET);
    std::fwrite(rewritten, 1, length, wav);
}

/// The permissions a newly created file gets under the process's umask.
mode_t newFileMode() {
    const mode_t mask = umask(0);
    umask(mask);
    return static_cast<mode_t>(0666 & ~mask);
}

} // namespace

std::optional<AudioFormat> audioFormatForPath(const std::string& path) {
    const std::string extension = lowerCase(std::filesystem::path(path).extension().string());
    if (extension == ".wav") return AudioFormat::WavFloat32;
    if (extension == ".flac") return AudioFormat::Flac24;
    return std::nullopt;
}

AudioWriter::AudioWriter(const std::string& path, AudioFormat format, int sampleRate,
                         bool createFolder)
    : outputPath(path) {
    namespace fs = std::filesystem;
    const fs::path output(path);
    std::error_code ec;
    if (fs::is_directory(output, ec))
        throw AudioWriterError("cannot write " + path + ": it is a directory");

    fs::path directory = output.parent_path();
    if (directory.empty()) directory = ".";
    if (!fs::exists(directory, ec)) {
        if (!createFolder) {
            throw AudioWriterError("cannot write " + path + ": the folder " + directory.string() +
                                   " does not exist");
        }
        fs::create_directory(directory, ec);
        if (ec)
            throw AudioWriterError("cannot create folder " + directory.string() + ": " +
                                   ec.message());
    }

    std::string pattern = (directory / ("." + output.filename().string() + ".XXXXXX")).string();
    const int fd = mkstemp(pattern.data());
    if (fd < 0) throw AudioWriterError("cannot write " + path + ": " + std::strerror(errno));
    tempPath = pattern;
    fchmod(fd, newFileMode());

    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = kChannels;
    info.format = sndfileFormat(format);
    wav = format == AudioFormat::WavFloat32;
    file = sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE);
    if (!file) {
        const std::string reason = sf_strerror(nullptr);
        close(fd);
        discard();
        throw AudioWriterError("cannot write " + path + ": " + reason);
    }
    // Integer formats: samples beyond full scale are clipped rather than wrapped around.
    sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    // The PEAK chunk carries the time of writing; without it equal renders give equal files.
    sf_command(file, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
}

AudioWriter::~AudioWriter() {
    if (!committed) discard();
}

void AudioWriter::discard() {
    if (file) {
        sf_close(file);
        file = nullptr;
    }
    if (!tempPath.empty()) {
        std::remove(tempPath.c_str());
        tempPath.clear();
    }
}

void AudioWriter::write(const float* left, const float* right, std::int32_t frames) {
    if (frames <= 0) return;
    if (!file) throw AudioWriterError("cannot write " + outputPath + ": file is closed");
    interleaved.resize(static_cast<std::size_t>(frames) * kChannels);
    float peakNow = peakLevel;
    for (std::int32_t i = 0; i < frames; ++i) {
        const float samples[kChannels] = {left[i], right[i]};
        for (int c = 0; c < kChannels; ++c) {
            float sample = samples[c];
            if (!std::isfinite(sample)) {
                sample = 0.0f;
                ++replaced;
            }
            peakNow = std::max(peakNow, std::fabs(sample));
            interleaved[static_cast<std::size_t>(i) * kChannels + c] = sample;
        }
    }
    peakLevel = peakNow;
    const sf_count_t written = sf_writef_float(file, interleaved.data(), frames);
    if (written != frames)
        throw AudioWriterError("cannot write " + outputPath + ": " + sf_strerror(file));
    framesWritten += frames;
}

void AudioWriter::commit() {
    if (!file) throw AudioWriterError("cannot write " + outputPath + ": file is closed");
    sf_write_sync(file);
    const int closeError = sf_close(file);
    file = nullptr;
    if (closeError != 0)
        throw AudioWriterError("cannot write " + outputPath + ": " + sf_error_number(closeError));
    if (wav) {
        std::FILE* stream = std::fopen(tempPath.c_str(), "r+b");
        if (!stream)
            throw AudioWriterError("cannot write " + outputPath + ": " + std::strerror(errno));
        addFormatExtension(stream);
        if (std::fclose(stream) != 0)
            throw AudioWriterError("cannot write " + outputPath + ": " + std::strerror(errno));
    }
    if (std::rename(tempPath.c_str(), outputPath.c_str()) != 0)
        throw AudioWriterError("cannot write " + outputPath + ": " + std::strerror(errno));
    tempPath.clear();
    committed = true;
}

} // namespace quarnel_render
