// Windows test probes shared by the editor's unit tests and the host-level panel tests: the
// process's GDI object count and a message pump.
#pragma once

#if defined(_WIN32)

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace windowsprobe {

/// GDI objects the process holds now. Windows counts them with GetGuiResources; Wine does not
/// implement that call (it answers 0), so there the live entries of the process's GDI handle
/// table (PEB's GdiSharedHandleTable: 65536 entries of 24 bytes, type byte at offset 14) are
/// counted instead.
inline DWORD gdiObjects() {
    const DWORD counted = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    if (counted != 0) return counted;
    struct HandleEntry {
        std::uint64_t object;
        std::uint32_t owner;
        std::uint16_t unique;
        std::uint8_t type;
        std::uint8_t flags;
        std::uint64_t user;
    };
    static_assert(sizeof(HandleEntry) == 24);
    constexpr std::size_t kPebHandleTable = 0xF8;
    constexpr int kHandleTableEntries = 0x10000;
    const unsigned char* peb = nullptr;
    __asm__("movq %%gs:0x60, %0" : "=r"(peb)); // the TEB's pointer to the PEB (x64)
    const auto* table = *reinterpret_cast<const HandleEntry* const*>(peb + kPebHandleTable);
    if (!table) return 0;
    DWORD live = 0;
    for (int i = 0; i < kHandleTableEntries; ++i)
        if (table[i].type != 0) ++live;
    return live;
}

/// Dispatches every waiting message of this thread.
inline void pumpMessages() {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

} // namespace windowsprobe

#endif
