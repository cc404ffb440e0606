// The editor title's file callback: a left-button release over the title reloads the current
// program from "debug.txt" beside the library, exclusive with rendering.
#include "shell/kel_vst.h"

#include "patches/patch_override.h"
#include "platform/platform.h"

void loadPatchOverride(PluginCore* core, std::int32_t index, std::uint32_t message) {
    if (!core || index != kTitleControlIndex || message != kMessageLeftButtonUp) return;
    if (!core->engine || !core->busy) return;
    char path[kModulePathLength];
    platform::siblingPath(core->modulePath, kOverrideFileName, path, sizeof(path));
    if (!path[0]) return;
    PatchChangeScope change(*core->busy);
    loadPatchOverrideFile(*core->engine, path, core->curProgram);
}
