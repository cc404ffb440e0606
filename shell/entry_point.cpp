// The exported entry point: asks the host for its version once and, if it answers, creates one
// plug-in object and hands its record to the host. Exported as "VSTPluginMain" and as "main".
#include "platform/platform.h"
#include "shell/kel_vst.h"

#if defined(_WIN32)
#include <windows.h>

// The library records its module handle when it is loaded.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) platform::recordModuleInstance(instance);
    return TRUE;
}
#endif

#if defined(_WIN32)
#define QUARNEL_EXPORT extern "C" __declspec(dllexport)
#else
#define QUARNEL_EXPORT extern "C" __attribute__((visibility("default")))
#endif

QUARNEL_EXPORT AEffect* VSTPluginMain(audioMasterCallback host) {
    if (!host) return nullptr;
    if (host(nullptr, audioMasterVersion, 0, 0, nullptr, 0.0f) == 0) return nullptr;
    // A construction that fails (memory, a thread that cannot start) gives the host no
    // effect: no exception may leave through this C entry point.
    try {
        return (new kelVst(host))->getAeffect();
    } catch (...) {
        return nullptr;
    }
}

#if !defined(_WIN32)
// The second export name; on Windows the module definition file exports the alias.
QUARNEL_EXPORT AEffect* quarnelMainAlias(audioMasterCallback host) __asm__("main");
QUARNEL_EXPORT AEffect* quarnelMainAlias(audioMasterCallback host) {
    return VSTPluginMain(host);
}
#endif
