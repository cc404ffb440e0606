// Preset files: quarnel-presets exports the built-in bank and programs of the real plug-in, the
// files load back into a fresh instance unchanged, and quarnel-render refuses foreign or damaged
// files before rendering anything.

#include "tool_test_support.h"
#include "tools/presets/fx_container.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>

namespace {

using tooltest::ProcessResult;
using tooltest::TempDir;

/// The plug-in's unique ID as hosts see it.
constexpr std::int32_t kQuarnelId = 0x6C786667;
/// The programs exported for the round trip: one loaded over a different slot.
constexpr int kExportedSlot = 3;
constexpr int kOverwrittenSlot = 5;

std::vector<unsigned char> fileBytes(const tooltest::fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeBytes(const tooltest::fs::path& path, const std::vector<unsigned char>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

/// Runs quarnel-presets export into dir; returns the exported .fxp of slot kExportedSlot.
tooltest::fs::path exportPresets(const TempDir& dir) {
    const ProcessResult result = tooltest::runProcess(
        {QUARNEL_PRESETS_PATH, "export", dir.path().string(), "--plugin", QUARNEL_PLUGIN_PATH});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    for (const std::string& name : dir.entries()) {
        if (name.rfind("03 ", 0) == 0 && name.ends_with(".fxp")) return dir / name;
    }
    return {};
}

/// Runs quarnel-presets export into the given folder.
ProcessResult exportInto(const tooltest::fs::path& folder) {
    return tooltest::runProcess(
        {QUARNEL_PRESETS_PATH, "export", folder.string(), "--plugin", QUARNEL_PLUGIN_PATH});
}

TEST(PresetFiles, ExportMakesAMissingFolderButNotItsParents) {
    TempDir dir;
    const ProcessResult made = exportInto(dir / "bank");
    EXPECT_EQ(made.exitCode, 0) << made.err;
    EXPECT_TRUE(tooltest::fs::is_regular_file(dir / "bank" / "Quarnel.fxb"));
    const ProcessResult refused = exportInto(dir / "missing" / "bank");
    EXPECT_NE(refused.exitCode, 0);
    EXPECT_FALSE(tooltest::fs::exists(dir / "missing"));
    EXPECT_NE(refused.err.find("cannot create the folder"), std::string::npos) << refused.err;
}

TEST(PresetFiles, ExportedBankAndProgramLoadBackUnchanged) {
    TempDir dir;
    const tooltest::fs::path program = exportPresets(dir);
    ASSERT_FALSE(program.empty());
    const std::vector<std::string> entries = dir.entries();
    EXPECT_EQ(std::count(entries.begin(), entries.end(), "Quarnel.fxb"), 1);

    const fxpreset::FxFile bank = fxpreset::readFile((dir / "Quarnel.fxb").string(), kQuarnelId);
    const fxpreset::FxFile single = fxpreset::readFile(program.string(), kQuarnelId);
    EXPECT_EQ(bank.kind, fxpreset::FxKind::Bank);
    EXPECT_EQ(single.kind, fxpreset::FxKind::Program);
    EXPECT_EQ(fxpreset::encode(single), fileBytes(program)); // the reader keeps every byte

    vsthost::PluginLibrary library(QUARNEL_PLUGIN_PATH);
    ASSERT_TRUE(library.loaded()) << library.error();
    vsthost::PluginInstance plugin(library);
    ASSERT_TRUE(plugin.valid());
    plugin.dispatch(effOpen);
    plugin.dispatch(effSetProgram, 0, kOverwrittenSlot);
    const std::vector<unsigned char> before = fxpreset::getChunk(plugin, true);
    ASSERT_NE(before, single.chunk);
    fxpreset::applyChunk(plugin, single, program.string());
    EXPECT_EQ(fxpreset::getChunk(plugin, true), single.chunk);
    fxpreset::applyChunk(plugin, bank, "bank");
    EXPECT_EQ(fxpreset::getChunk(plugin, false), bank.chunk);
}

TEST(PresetFiles, RenderRefusesForeignAndTruncatedFiles) {
    TempDir dir;
    const tooltest::fs::path program = exportPresets(dir);
    ASSERT_FALSE(program.empty());
    tooltest::writeSmf(dir / "note.mid", 480, {{1, 0, {0x90, 60, 100}}, {1, 240, {0x80, 60, 0}}});

    fxpreset::FxFile foreign = fxpreset::readFile(program.string(), kQuarnelId);
    foreign.fxID = kQuarnelId + 1;
    fxpreset::writeFile((dir / "foreign.fxp").string(), foreign);
    std::vector<unsigned char> truncated = fileBytes(dir / "Quarnel.fxb");
    truncated.resize(truncated.size() / 2);
    writeBytes(dir / "truncated.fxb", truncated);

    const auto render = [&](const std::string& preset) {
        return tooltest::runProcess({QUARNEL_RENDER_PATH, (dir / "note.mid").string(), "--plugin",
                                     QUARNEL_PLUGIN_PATH, "-t", "0", "-p", "7", "--preset",
                                     (dir / preset).string(), "-o", (dir / "out.wav").string()});
    };
    const ProcessResult loaded = render(program.filename().string());
    EXPECT_EQ(loaded.exitCode, 0) << loaded.err;
    EXPECT_TRUE(tooltest::fs::remove(dir / "out.wav"));
    const ProcessResult other = render("foreign.fxp");
    EXPECT_NE(other.exitCode, 0);
    EXPECT_NE(other.err.find("belongs to another plug-in"), std::string::npos) << other.err;
    const ProcessResult cut = render("truncated.fxb");
    EXPECT_NE(cut.exitCode, 0);
    EXPECT_NE(cut.err.find("truncated"), std::string::npos) << cut.err;
    EXPECT_FALSE(tooltest::fs::exists(dir / "out.wav"));
}

} // namespace
