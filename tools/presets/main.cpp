// quarnel-presets: writes the plug-in's built-in bank and programs as standard preset files
// (.fxb and .fxp holding the plug-in's chunk), which hosts and quarnel-render --preset load.

#include "tools/presets/fx_container.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

namespace {

constexpr int kFailureExitCode = 1;
constexpr int kUsageExitCode = 2;
/// Room given to the plug-in for one program name (the interface's nominal limit is 24).
constexpr std::size_t kProgramNameRoom = 256;
/// Most program slots exported (guards against a nonsense numPrograms).
constexpr int kMaxProgramCount = 1024;

/// A program name made safe as part of a file name: path separators become '-'.
std::string fileNamePart(std::string name) {
    for (char& c : name) {
        if (c == '/' || c == '\\') c = '-';
    }
    return name;
}

std::string slotPrefix(int slot) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d ", slot);
    return text;
}

int exportPresets(const std::string& directory, const std::string& pluginPath) {
    namespace fs = std::filesystem;
    std::error_code ec;
    // A missing folder is made (not its parents, as mkdir makes one).
    if (!fs::exists(directory, ec) && !fs::create_directory(directory, ec) && ec) {
        std::fprintf(stderr, "quarnel-presets: error: cannot create the folder %s: %s\n",
                     directory.c_str(), ec.message().c_str());
        return kFailureExitCode;
    }
    if (!fs::is_directory(directory, ec)) {
        std::fprintf(stderr, "quarnel-presets: error: %s is not a folder\n", directory.c_str());
        return kFailureExitCode;
    }
    vsthost::PluginLibrary library(pluginPath);
    if (!library.loaded()) {
        std::fprintf(stderr, "quarnel-presets: error: cannot load plug-in %s: %s\n",
                     pluginPath.c_str(), library.error().c_str());
        return kFailureExitCode;
    }
    auto plugin = std::make_unique<vsthost::PluginInstance>(library);
    if (!plugin->valid()) {
        std::fprintf(stderr, "quarnel-presets: error: plug-in %s returned no effect\n",
                     pluginPath.c_str());
        return kFailureExitCode;
    }
    plugin->dispatch(effOpen);
    const AEffect& fx = *plugin->effect();
    fxpreset::FxFile file;
    file.fxID = fx.uniqueID;
    file.fxVersion = fx.version;
    file.numPrograms = fx.numPrograms;

    file.kind = fxpreset::FxKind::Bank;
    file.chunk = fxpreset::getChunk(*plugin, false);
    if (file.chunk.empty()) {
        std::fprintf(stderr, "quarnel-presets: error: plug-in %s gives no bank chunk\n",
                     pluginPath.c_str());
        return kFailureExitCode;
    }
    int written = 0;
    try {
        fxpreset::writeFile((fs::path(directory) / "Quarnel.fxb").string(), file);
        ++written;
        file.kind = fxpreset::FxKind::Program;
        const int count = std::min(fx.numPrograms, kMaxProgramCount);
        for (int slot = 0; slot < count; ++slot) {
            const std::string name = plugin->text(effGetProgramNameIndexed, slot, kProgramNameRoom);
            if (name.empty()) continue;
            plugin->dispatch(effSetProgram, 0, slot);
            file.programName = name;
            file.chunk = fxpreset::getChunk(*plugin, true);
            const std::string fileName = slotPrefix(slot) + fileNamePart(name) + ".fxp";
            fxpreset::writeFile((fs::path(directory) / fileName).string(), file);
            ++written;
        }
    } catch (const fxpreset::FxFileError& error) {
        std::fprintf(stderr, "quarnel-presets: error: %s\n", error.what());
        return kFailureExitCode;
    }
    std::printf("Wrote %d preset files to %s\n", written, directory.c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app("Writes the built-in bank and programs of the Quarnel plug-in as standard "
                 "preset files.",
                 "quarnel-presets");
    app.set_version_flag("--version", std::string("quarnel-presets ") + QUARNEL_VERSION);
    app.require_subcommand(1);
    std::string directory;
    std::string pluginPath = vsthost::pluginPathFromEnvironment(vsthost::defaultPluginPath());
    CLI::App* exportCommand =
        app.add_subcommand("export", "Write DIR/Quarnel.fxb and one 'NN Name.fxp' per program");
    exportCommand
        ->add_option("dir", directory,
                     "Folder to write into; made if missing (its parent must exist)")
        ->required();
    exportCommand->add_option("--plugin", pluginPath,
                              "VST 2.4 plug-in library (.so); default: $QUARNEL_PLUGIN, else the "
                              "Quarnel.so installed beside this program (../lib/vst), else the "
                              "one built beside it");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int code = app.exit(error);
        return code == 0 ? 0 : kUsageExitCode;
    }
    return exportPresets(directory, pluginPath);
}
