// A plain-text override of the current program: eleven comma-separated lines whose numbers
// replace every sound field of the current patch, followed by a re-application of the patch.
#pragma once

#include <cstdint>

struct SynthEngine;

/// Name of the override file beside the library.
constexpr const char* kOverrideFileName = "debug.txt";

/// Reads path into the engine's current patch and re-applies it (also after a short file).
/// Returns false, changing nothing, when the file cannot be opened as a regular file.
bool loadPatchOverrideFile(SynthEngine& engine, const char* path, std::int32_t currentProgram);
