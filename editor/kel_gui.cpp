// The editor object's lifecycle: construction with the plug-in object, opening the panel window
// in the host's window (class registration, back buffer, edit window), closing it, and
// destruction with the plug-in object.
#include "editor/kel_gui.h"

#include "editor/panel_input.h"
#include "instrument/plugin_core.h"
#include "platform/platform.h"

#include <ole2.h>
#include <shellapi.h>

#include <cstdio>
#include <cstring>

std::atomic<std::int32_t> editorCount{0};

namespace {
/// Window class style: one class for every panel in the process, double clicks reported.
constexpr UINT kClassStyle = CS_GLOBALCLASS | CS_DBLCLKS;
/// Extra bytes of class and window memory the class reserves.
constexpr int kClassExtraBytes = 32;
constexpr int kWindowExtraBytes = 32;
/// Panel window style: a visible child that clips its siblings and its edit window.
constexpr DWORD kPanelStyle = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN;
/// Windows major version from which the panel is created composited.
constexpr DWORD kCompositedFromMajorVersion = 6;
/// Edit window style: a visible bordered child, parked at size 0 until a TextField is edited.
constexpr DWORD kEditStyle = WS_CHILD | WS_VISIBLE | WS_BORDER;
/// Control identifier of the edit window.
constexpr std::intptr_t kEditWindowId = 1;
/// Pending full repaints after an open: the first two paints draw the whole panel.
constexpr std::int32_t kOpenFullRepaints = 2;
/// The arrow cursor's resource number (IDC_ARROW).
constexpr WORD kArrowCursor = 0x7F00;

HINSTANCE moduleHandle() {
    return static_cast<HINSTANCE>(platform::moduleInstance());
}
} // namespace

kelGui::kelGui(PanelLink& owner) : PanelEditor(owner) {
    // A host thread that already runs COM in another mode refuses OLE: then there is nothing
    // to balance at destruction (uninitialising would tear down the host's COM).
    oleInitialised = SUCCEEDED(OleInitialize(nullptr));
    editorCount.fetch_add(1);
}

kelGui::~kelGui() {
    // The plug-in object is already tearing down: nothing here reads its state.
    releaseWindow();
    if (editorCount.load() <= 0 && className[0]) UnregisterClassA(className, moduleHandle());
    if (oleInitialised) OleUninitialize();
}

void kelGui::invalidatePanel() {
    // The window this editor made, not the core's copy, which host threads read under the lock.
    if (window) InvalidateRect(window, nullptr, FALSE);
}

void kelGui::idle() {
    if (!window || !link->instrumentReady()) return;
    if (link->takeAudioChanges()) invalidatePanel();
}

void kelGui::beginTextEdit(EditorControl& control, const ControlBox& box) {
    if (!editWindow) return;
    SetWindowTextA(editWindow, control.text ? control.text : "");
    MoveWindow(editWindow, box.left, box.top, box.width, box.height, TRUE);
}

void kelGui::endTextEdit(EditorControl& control) {
    if (editWindow && control.text && control.textCapacity > 0)
        GetWindowTextA(editWindow, control.text, control.textCapacity);
    // Parked outside the panel until the next edit.
    if (editWindow) MoveWindow(editWindow, panelWidth(), 0, 0, 1, TRUE);
}

bool kelGui::open(void* parent) {
    const bool firstOpen = className[0] == 0;
    if (firstOpen) {
        // Building reads the parameters of the control engine, which writers change, and links
        // the list writers walk.
        const auto lock = lockShared();
        buildControls(*core, panel);
    }

    std::memset(&osVersion, 0, sizeof(osVersion));
    // The extended record: its size (156 bytes) is what the version query is told, so the
    // query's extra fields land inside the record.
    osVersion.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXA);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&osVersion));
#pragma GCC diagnostic pop

    HINSTANCE instance = moduleHandle();
    if (firstOpen) {
        const char* effectName = core->names ? core->names[NameEffect] : "";
        std::snprintf(className, sizeof(className), "VST_%s_%X", effectName,
                      static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(instance)));
        WNDCLASSA windowClass = {};
        windowClass.style = kClassStyle;
        windowClass.lpfnWndProc = &editorWindowProc;
        windowClass.cbClsExtra = kClassExtraBytes;
        windowClass.cbWndExtra = kWindowExtraBytes;
        windowClass.hInstance = instance;
        windowClass.hIcon = nullptr;
        windowClass.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(kArrowCursor));
        windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
        windowClass.lpszMenuName = nullptr;
        windowClass.lpszClassName = className;
        // A second editor in the process finds the class registered already and uses it.
        RegisterClassA(&windowClass);
    }

    // An open without a close since the last one would orphan the first window and its back
    // buffer: that panel is closed first.
    if (backDC || backBitmap || window) close();

    const DWORD exStyle =
        osVersion.dwMajorVersion >= kCompositedFromMajorVersion ? WS_EX_COMPOSITED : 0;
    window = CreateWindowExA(exStyle, className, "Window", kPanelStyle, 0, 0, panelWidth(),
                             panelHeight(), static_cast<HWND>(parent), nullptr, instance, this);

    HDC windowDC = GetDC(window);
    backBitmap = CreateCompatibleBitmap(windowDC, panelWidth(), panelHeight());
    backDC = CreateCompatibleDC(nullptr);
    ReleaseDC(window, windowDC);
    SelectObject(backDC, backBitmap);
    SetBkMode(backDC, TRANSPARENT);

    editorCount.fetch_add(1);
    {
        const auto lock = lockShared();
        core->editorWindow = window;
        core->redrawAll = kOpenFullRepaints;
    }
    return true;
}

void kelGui::close() {
    // Only a panel that is open is counted down: a host that closes twice, or closes without
    // opening, must not bring the count to 0 while other panels still use the window class.
    const bool wasOpen = window || backDC || backBitmap || editWindow;
    // A gesture does not survive its window: a later panel must not go on dragging, nor report
    // a release for a press it never saw.
    dragControl = nullptr;
    endGesture(*this);
    if (window && GetCapture() == window) ReleaseCapture();
    releaseWindow();
    {
        const auto lock = lockShared();
        core->editorWindow = nullptr;
    }
    if (wasOpen) editorCount.fetch_sub(1);
}

void kelGui::releaseWindow() {
    if (window) {
        // Messages that arrive while the window goes away find no editor.
        SetWindowLongPtrA(window, GWLP_USERDATA, 0);
    }
    if (backDC) {
        DeleteDC(backDC);
        backDC = nullptr;
    }
    if (backBitmap) {
        DeleteObject(backBitmap);
        backBitmap = nullptr;
    }
    if (editWindow) {
        DestroyWindow(editWindow);
        editWindow = nullptr;
    }
    if (window) {
        DestroyWindow(window);
        window = nullptr;
    }
}

void kelGui::onCreate(HWND created, const CREATESTRUCTA& creation) {
    DragAcceptFiles(created, TRUE);
    auto* gui = static_cast<kelGui*>(creation.lpCreateParams);
    SetWindowLongPtrA(created, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(gui));
    HWND edit =
        CreateWindowExA(0, "edit", nullptr, kEditStyle, 0, 0, 0, 0, created,
                        reinterpret_cast<HMENU>(kEditWindowId), creation.hInstance, nullptr);
    if (gui) gui->editWindow = edit;
}

void kelGui::onWindowGone(HWND gone) {
    if (gone != window) return;
    // The children went with it; the back buffer stays until close or destruction.
    SetWindowLongPtrA(gone, GWLP_USERDATA, 0);
    window = nullptr;
    editWindow = nullptr;
    dragControl = nullptr;
    endGesture(*this);
    const auto lock = lockShared();
    core->editorWindow = nullptr;
}

std::unique_ptr<PanelEditor> createPanel(PanelLink& link) {
    // Everything the Windows panel does runs on the host's user-interface thread: stop has
    // nothing to do.
    return std::make_unique<kelGui>(link);
}
