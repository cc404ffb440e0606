#include "tools/quarnel_render/instrument.h"

#include "patches/patch.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <thread>

namespace quarnel_render {

namespace {

/// True for the formats that come as a bundle folder.
bool isBundle(formathost::Format format) {
    return format == formathost::Format::Vst3 || format == formathost::Format::Lv2;
}

/// Runs call on a thread of its own and waits for it: a change made there is a host's change
/// from its main thread, which the instrument makes exactly at the next block. Made on the
/// thread that renders, outside an offline render the plug-in knows of, it would be handed to
/// the instrument's worker and heard whenever that gets to it.
template <typename Call> auto offRenderThread(Call&& call) {
    decltype(call()) result{};
    std::thread([&] { result = call(); }).join();
    return result;
}

} // namespace

Instrument::Instrument(const std::string& path, std::optional<formathost::Format> format)
    : kind(format ? *format : formathost::formatForPath(path)) {
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (!std::filesystem::exists(status))
        throw InstrumentError("plug-in " + path + " does not exist");
    const bool directory = std::filesystem::is_directory(status);
    if (isBundle(kind) && !directory) {
        throw InstrumentError("plug-in " + path + " is not a bundle folder, as a " +
                              formathost::formatName(kind) + " plug-in is");
    }
    if (!isBundle(kind) && directory)
        throw InstrumentError("plug-in " + path + " is a directory, not a library");

    std::string error;
    plugin = formathost::openInstance(kind, path, error);
    if (!plugin) {
        // The VST 2.4 host words its reasons for this tool; the others say what failed.
        if (kind == formathost::Format::Vst2) throw InstrumentError(error);
        throw InstrumentError("cannot load " + std::string(formathost::formatName(kind)) +
                              " plug-in " + path + ": " + error);
    }
    if (plugin->programCount() == 0) {
        // No program list: the names are the bank's, each record's zero-terminated name.
        static_assert(formathost::kProgramRecordBytes == kPatchRecordSize);
        int current = 0;
        const std::vector<std::uint8_t> bank = plugin->saveBank(current);
        for (std::size_t at = 0; at + kPatchRecordSize <= bank.size(); at += kPatchRecordSize) {
            const auto* name =
                reinterpret_cast<const char*>(bank.data() + at + offsetof(Patch, name));
            bankNames.emplace_back(name, strnlen(name, sizeof(Patch::name)));
        }
    }
}

int Instrument::programCount() {
    const int count = bankNames.empty() ? plugin->programCount() : int(bankNames.size());
    return std::clamp(count, 0, kMaxProgramCount);
}

std::vector<std::string> Instrument::programNames() {
    std::vector<std::string> names;
    const int count = programCount();
    names.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i)
        names.push_back(bankNames.empty() ? plugin->programName(i)
                                          : bankNames[static_cast<std::size_t>(i)]);
    return names;
}

void Instrument::start(double sampleRate, int blockSize, int program) {
    formathost::StartOptions options;
    options.sampleRate = sampleRate;
    options.maxBlock = blockSize;
    options.offline = true; // a file is rendered, not played
    // VST 2.4 selects the program before resuming and is told the render is offline; the
    // framework's formats are not, so their programs are chosen off the rendering thread.
    const bool vst2 = kind == formathost::Format::Vst2;
    options.program = vst2 ? program : -1;
    if (!plugin->start(options))
        throw InstrumentError("the plug-in did not start: " + plugin->error());
    if (!vst2 && program >= 0 && !offRenderThread([&] { return plugin->selectProgram(program); }))
        throw InstrumentError("the plug-in did not select program " + std::to_string(program) +
                              ": " + plugin->error());
}

void Instrument::selectProgram(int program) {
    if (kind == formathost::Format::Vst2) {
        plugin->selectProgram(program);
        return;
    }
    offRenderThread([&] { return plugin->selectProgram(program); });
}

void Instrument::loadPreset(const fxpreset::FxFile& preset, const std::string& path, int program) {
    const std::vector<std::uint8_t> chunk(preset.chunk.begin(), preset.chunk.end());
    const bool single = preset.kind == fxpreset::FxKind::Program;
    const auto load = [&] {
        return single ? plugin->loadProgram(chunk) : plugin->loadBank(chunk, std::max(program, 0));
    };
    const bool taken = kind == formathost::Format::Vst2 ? load() : offRenderThread(load);
    if (!taken) {
        std::string reason = plugin->error();
        throw fxpreset::FxFileError("the plug-in refused the " +
                                    std::string(single ? "program" : "bank") + " in preset file " +
                                    path + (reason.empty() ? "" : ": " + reason));
    }
}

} // namespace quarnel_render
