// The editor title's file callback: a left-button release over the title reloads the current
// program from "debug.txt" beside the library.
#include "instrument/instrument.h"

#include "patches/patch_override.h"
#include "platform/platform.h"

void loadPatchOverride(PluginCore* core, std::int32_t index, std::uint32_t message) {
    if (!core || index != kTitleControlIndex || message != kMessageLeftButtonUp) return;
    if (!core->engine || !core->owner) return;
    char path[kModulePathLength];
    platform::siblingPath(core->modulePath, kOverrideFileName, path, sizeof(path));
    if (!path[0]) return;
    // The file is read before the writers' lock is taken, so a slow disk holds up nobody.
    OverrideText text;
    if (!readOverrideText(path, text)) return;
    core->owner->applyOverride(text);
}
