#include "tools/quarnel_render/audio_writer.h"

#include <sndfile.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
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
    return SF_FORMAT_WAVEX | SF_FORMAT_FLOAT;
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
    if (std::rename(tempPath.c_str(), outputPath.c_str()) != 0)
        throw AudioWriterError("cannot write " + outputPath + ": " + std::strerror(errno));
    tempPath.clear();
    committed = true;
}

} // namespace quarnel_render
