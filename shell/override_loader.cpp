// The editor title's file callback: a left-button release over the title reloads the current
// program from "debug.txt" beside the library.
#include "shell/kel_vst.h"

#include "patches/patch_override.h"
#include "platform/platform.h"

void loadPatchOverride(PluginCore* core, std::int32_t index, std::uint32_t message) {
    if (!core || index != kTitleControlIndex || message != kMessageLeftButtonUp) return;
    if (!core->engine || !core->busy) return;
    char path[kModulePathLength];
    platform::siblingPath(core->modulePath, kOverrideFileName, path, sizeof(path));
    if (!path[0]) return;
    // The file is read before rendering is held off, so a slow disk never silences the audio;
    // matching and the rebuild are exclusive with rendering.
    OverrideText text;
    if (!readOverrideText(path, text)) return;
    PatchChangeScope change(*core->busy);
    if (core->engine) applyOverrideText(*core->engine, text, core->curProgram);
}
