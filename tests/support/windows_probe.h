// Windows test probes shared by the editor's unit tests and the host-level panel tests: the
// process's GDI object count, a message pump and a frame window standing in for a host's.
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

/// A visible frame standing in for the host's editor frame: a child of one top-level window
/// that lives as long as the test program (Wine without a window manager takes two seconds to
/// destroy a visible top-level window, children go at once). Frames are stacked by slot.
class HostFrame {
  public:
    explicit HostFrame(int slot = 0) {
        static const char* className = registerClass();
        static HWND desktop =
            CreateWindowExA(0, className, "editor tests", WS_POPUP | WS_VISIBLE, 0, 0, 440, 400,
                            nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
        handle = CreateWindowExA(
            0, className, "editor frame", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN | WS_CLIPSIBLINGS,
            10, 10 + 130 * slot, 400, 120, desktop, nullptr, GetModuleHandleA(nullptr), nullptr);
        pumpMessages();
    }
    ~HostFrame() {
        if (IsWindow(handle)) DestroyWindow(handle);
        pumpMessages();
    }
    HostFrame(const HostFrame&) = delete;
    HostFrame& operator=(const HostFrame&) = delete;

    HWND get() const { return handle; }

  private:
    static const char* registerClass() {
        WNDCLASSA windowClass = {};
        windowClass.lpfnWndProc = DefWindowProcA;
        windowClass.hInstance = GetModuleHandleA(nullptr);
        windowClass.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(0x7F00));
        windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
        windowClass.lpszClassName = "QuarnelEditorTestFrame";
        RegisterClassA(&windowClass);
        return windowClass.lpszClassName;
    }

    HWND handle = nullptr;
};

} // namespace windowsprobe

#endif
