// A plain-text override of the current program: eleven comma-separated lines whose numbers
// replace every sound field of the current patch, followed by a re-application of the patch.
#pragma once

#include <cstdint>

struct SynthEngine;

/// Name of the override file beside the library.
constexpr const char* kOverrideFileName = "debug.txt";

/// Lines of the file that are read; later lines are ignored.
constexpr int kOverrideLineCount = 11;
/// Room for one line: at most 259 characters and the zero; a longer line continues as the next.
constexpr int kOverrideLineLength = 260;

/// The text of an override file as read from disk, before it is matched.
struct OverrideText {
    char lines[kOverrideLineCount][kOverrideLineLength];
    int count; ///< lines read, 0..11
};

/// Reads up to eleven lines of path. Returns false when it is not a regular file that opens.
bool readOverrideText(const char* path, OverrideText& text);

/// Matches the lines into the engine's current patch and re-applies it (also after a short
/// file). Touches no file, so a caller can hold rendering off only for this part.
void applyOverrideText(SynthEngine& engine, const OverrideText& text, std::int32_t currentProgram);

/// readOverrideText, then applyOverrideText. Returns false, changing nothing, when the file
/// cannot be opened as a regular file.
bool loadPatchOverrideFile(SynthEngine& engine, const char* path, std::int32_t currentProgram);
