// The editor object's lifecycle with real windows: construction, open, close, reopen,
// destruction, a host that destroys its window first, a close during a drag, messages that
// arrive after the window lost its editor or after the plug-in began its teardown, file drops
// and the TextField edit window.
#include "editor_fixture.h"

#include "patches/performance_parameters.h"
#include "platform/platform.h"

#include <shlobj.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

using namespace editortest;

namespace {
std::string classNameOf(HWND window) {
    char name[128] = {};
    GetClassNameA(window, name, sizeof(name));
    return name;
}

RECT clientRectInParent(HWND child) {
    RECT r{};
    GetWindowRect(child, &r);
    MapWindowPoints(HWND_DESKTOP, GetParent(child), reinterpret_cast<POINT*>(&r), 2);
    return r;
}

/// A drop handle carrying one file name, as the shell hands it to WM_DROPFILES.
HDROP makeDrop(const char* path) {
    const std::size_t length = std::strlen(path);
    HGLOBAL memory = GlobalAlloc(GHND, sizeof(DROPFILES) + length + 2);
    auto* files = static_cast<DROPFILES*>(GlobalLock(memory));
    files->pFiles = sizeof(DROPFILES);
    files->fWide = FALSE;
    std::memcpy(reinterpret_cast<char*>(files) + sizeof(DROPFILES), path, length + 1);
    GlobalUnlock(memory);
    return static_cast<HDROP>(memory);
}

std::vector<std::pair<int, UINT>> calls;
void recordCall(PluginCore*, std::int32_t index, std::uint32_t message) {
    calls.emplace_back(index, message);
}

void repaint(HWND window) {
    InvalidateRect(window, nullptr, FALSE);
    UpdateWindow(window);
}
} // namespace

TEST(EditorLifecycle, ConstructionStateAndDispatcherAnswers) {
    const std::int32_t countBefore = editorCount.load();
    auto plugin = makePlugin();
    EXPECT_EQ(editorCount.load(), countBefore + 1);
    kelGui& gui = guiOf(*plugin);
    EXPECT_EQ(gui.className[0], 0);
    EXPECT_EQ(gui.window, nullptr);
    EXPECT_EQ(gui.link, static_cast<kelVstEditor*>(plugin->getEditor()));
    EXPECT_EQ(gui.core, &plugin->getCore());
    EXPECT_EQ(plugin->getEditor()->getEffect(), plugin.get());
    EXPECT_FALSE(gui.isOpen());
    EXPECT_EQ(plugin->getAeffect()->flags, 0x131);

    ERect* rect = nullptr;
    ASSERT_EQ(plugin->dispatcher(effEditGetRect, 0, 0, &rect, 0.0f), 1);
    ASSERT_NE(rect, nullptr);
    EXPECT_EQ(rect->top, 0);
    EXPECT_EQ(rect->left, 0);
    EXPECT_EQ(rect->bottom, 104);
    EXPECT_EQ(rect->right, 364);
    EXPECT_EQ(plugin->dispatcher(effEditKeyDown, 'a', VK_RETURN, nullptr, 1.0f), 0);
    EXPECT_EQ(plugin->dispatcher(effEditKeyUp, 'a', VK_RETURN, nullptr, 1.0f), 0);
    EXPECT_EQ(plugin->dispatcher(effEditIdle, 0, 0, nullptr, 0.0f), 0);
    EXPECT_EQ(plugin->dispatcher(effSetEditKnobMode, 0, 2, nullptr, 0.0f), 1);
    EXPECT_EQ(AEffGUIEditor::getKnobMode(), 2);
    EXPECT_EQ(plugin->dispatcher(effSetEditKnobMode, 0, 0, nullptr, 0.0f), 1);
    EXPECT_EQ(AEffGUIEditor::getKnobMode(), 0);
}

TEST(EditorLifecycle, OpenCreatesThePanelInTheHostWindow) {
    ParentWindow parent;
    auto plugin = makePlugin();
    kelGui& gui = guiOf(*plugin);
    PluginCore& core = plugin->getCore();
    const std::int32_t countBefore = editorCount.load();

    ASSERT_EQ(plugin->dispatcher(effEditOpen, 0, 0, parent.get(), 0.0f), 1);
    HWND panel = gui.window;
    ASSERT_TRUE(IsWindow(panel));
    EXPECT_EQ(core.editorWindow, panel);
    EXPECT_EQ(GetParent(panel), parent.get());
    EXPECT_TRUE(gui.isOpen());
    char expectedClass[128];
    std::snprintf(
        expectedClass, sizeof(expectedClass), "VST_kelvar(Quarnel)_%X",
        static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(platform::moduleInstance())));
    EXPECT_EQ(classNameOf(panel), expectedClass);
    EXPECT_STREQ(gui.className, expectedClass);
    char title[32] = {};
    GetWindowTextA(panel, title, sizeof(title));
    EXPECT_STREQ(title, "Window");

    const LONG_PTR style = GetWindowLongPtrA(panel, GWL_STYLE);
    EXPECT_EQ(style & 0x56000000, 0x56000000);
    EXPECT_EQ(style & WS_BORDER, 0);
    const LONG_PTR exStyle = GetWindowLongPtrA(panel, GWL_EXSTYLE);
    EXPECT_NE(exStyle & WS_EX_ACCEPTFILES, 0) << "file drops accepted";
    if (gui.osVersion.dwMajorVersion >= 6) {
        EXPECT_NE(exStyle & WS_EX_COMPOSITED, 0);
    }
    EXPECT_EQ(gui.osVersion.dwOSVersionInfoSize, 156u);

    const RECT r = clientRectInParent(panel);
    EXPECT_EQ(r.left, 0);
    EXPECT_EQ(r.top, 0);
    EXPECT_EQ(r.right - r.left, 364);
    EXPECT_EQ(r.bottom - r.top, 104);
    EXPECT_EQ(reinterpret_cast<kelGui*>(GetWindowLongPtrA(panel, GWLP_USERDATA)), &gui);

    ASSERT_TRUE(IsWindow(gui.editWindow));
    EXPECT_EQ(GetParent(gui.editWindow), panel);
    EXPECT_EQ(_stricmp(classNameOf(gui.editWindow).c_str(), "edit"), 0);
    RECT edit{};
    GetWindowRect(gui.editWindow, &edit);
    EXPECT_EQ(edit.right - edit.left, 0);
    EXPECT_EQ(edit.bottom - edit.top, 0);

    ASSERT_NE(gui.backDC, nullptr);
    ASSERT_NE(gui.backBitmap, nullptr);
    BITMAP bitmap{};
    GetObjectA(gui.backBitmap, sizeof(bitmap), &bitmap);
    EXPECT_EQ(bitmap.bmWidth, 364);
    EXPECT_EQ(bitmap.bmHeight, 104);
    EXPECT_EQ(GetCurrentObject(gui.backDC, OBJ_BITMAP), gui.backBitmap);
    EXPECT_EQ(GetBkMode(gui.backDC), TRANSPARENT);
    EXPECT_EQ(core.redrawAll, 2);
    EXPECT_EQ(editorCount.load(), countBefore + 1);

    int controls = 0;
    for (EditorControl* c = core.controls; c; c = c->next)
        ++controls;
    EXPECT_EQ(controls, kPanelControlCount);

    plugin->dispatcher(effEditClose, 0, 0, nullptr, 0.0f);
    EXPECT_FALSE(IsWindow(panel));
    EXPECT_EQ(core.editorWindow, nullptr);
    EXPECT_EQ(gui.window, nullptr);
    EXPECT_EQ(gui.editWindow, nullptr);
    EXPECT_EQ(gui.backDC, nullptr);
    EXPECT_EQ(gui.backBitmap, nullptr);
    EXPECT_EQ(editorCount.load(), countBefore);
    EXPECT_STREQ(gui.className, expectedClass) << "the class stays registered";
    WNDCLASSA registered{};
    EXPECT_TRUE(GetClassInfoA(static_cast<HINSTANCE>(platform::moduleInstance()), expectedClass,
                              &registered));
}

TEST(EditorLifecycle, ReopeningKeepsTheControlListAndSelection) {
    ParentWindow parent;
    auto plugin = makePlugin();
    kelGui& gui = guiOf(*plugin);
    PluginCore& core = plugin->getCore();
    gui.open(parent.get());
    EditorControl* head = core.controls;
    gui.panel.records[0].faceColour = 0x123456; // a rebuild would restore the caption colour
    SendMessageA(gui.window, WM_LBUTTONDOWN, MK_LBUTTON, mouseAt(30, 50));
    SendMessageA(gui.window, WM_LBUTTONUP, 0, mouseAt(30, 50));
    EditorControl* selected = gui.selectedControl;
    ASSERT_NE(selected, nullptr);
    gui.close();
    gui.open(parent.get());
    EXPECT_EQ(core.controls, head);
    EXPECT_EQ(gui.panel.records[0].faceColour, 0x123456u);
    EXPECT_EQ(gui.selectedControl, selected);
    int controls = 0;
    for (EditorControl* c = core.controls; c; c = c->next)
        ++controls;
    EXPECT_EQ(controls, kPanelControlCount);
    EXPECT_EQ(core.redrawAll, 2);
    gui.close();
}

TEST(EditorLifecycle, SecondOpenWithoutCloseReplacesThePanel) {
    ParentWindow parent;
    auto plugin = makePlugin();
    kelGui& gui = guiOf(*plugin);
    gui.open(parent.get());
    gui.close();
    const DWORD baseline = gdiObjects();
    const std::int32_t countBefore = editorCount.load();
    gui.open(parent.get());
    HWND first = gui.window;
    const DWORD oneOpen = gdiObjects();
    gui.open(parent.get());
    EXPECT_FALSE(IsWindow(first)) << "the first window does not linger";
    EXPECT_TRUE(IsWindow(gui.window));
    EXPECT_EQ(gdiObjects(), oneOpen) << "one back buffer";
    EXPECT_EQ(editorCount.load(), countBefore + 1);
    gui.close();
    EXPECT_EQ(gdiObjects(), baseline);
    EXPECT_EQ(editorCount.load(), countBefore);
}

TEST(EditorLifecycle, ClosesWithoutAnOpenPanelKeepTheClassForOthers) {
    ParentWindow parent;
    auto first = makePlugin();
    guiOf(*first).open(parent.get());
    guiOf(*first).close();
    {
        auto second = makePlugin();
        guiOf(*second).open(parent.get());
        const std::int32_t openCount = editorCount.load();
        // A host that keeps closing: each close after the first finds nothing open.
        for (int i = 0; i <= openCount + 1; ++i)
            second->dispatcher(effEditClose, 0, 0, nullptr, 0.0f);
        EXPECT_EQ(editorCount.load(), openCount - 1);
    } // destroyed: the class must stay registered for the first editor
    guiOf(*first).open(parent.get());
    EXPECT_TRUE(IsWindow(guiOf(*first).window)) << "the first editor still gets its window";
    guiOf(*first).close();
}

TEST(EditorLifecycle, OpenWithoutAHostWindowStillAnswersAndCloses) {
    auto plugin = makePlugin();
    kelGui& gui = guiOf(*plugin);
    const DWORD before = gdiObjects();
    const std::int32_t countBefore = editorCount.load();
    EXPECT_EQ(plugin->dispatcher(effEditOpen, 0, 0, nullptr, 0.0f), 1);
    EXPECT_EQ(gui.window, nullptr) << "a child window needs a parent";
    plugin->dispatcher(effEditClose, 0, 0, nullptr, 0.0f);
    EXPECT_EQ(gdiObjects(), before);
    EXPECT_EQ(editorCount.load(), countBefore);
}

TEST(EditorLifecycle, TwoEditorsShareTheWindowClass) {
    ParentWindow parentA(0), parentB(1);
    auto a = makePlugin();
    auto b = makePlugin();
    guiOf(*a).open(parentA.get());
    guiOf(*b).open(parentB.get());
    ASSERT_TRUE(IsWindow(guiOf(*a).window));
    ASSERT_TRUE(IsWindow(guiOf(*b).window));
    EXPECT_NE(guiOf(*a).window, guiOf(*b).window);
    EXPECT_EQ(classNameOf(guiOf(*a).window), classNameOf(guiOf(*b).window));
    a.reset(); // destroyed while open: its window goes, the other panel stays
    EXPECT_TRUE(IsWindow(guiOf(*b).window));
    repaint(guiOf(*b).window);
    guiOf(*b).close();
}

TEST(EditorLifecycle, DestroyingThePluginWhileOpenReleasesEverything) {
    ParentWindow parent;
    {
        // Warm-up: the first panel in the process makes lasting system objects (fonts, class).
        auto plugin = makePlugin();
        guiOf(*plugin).open(parent.get());
        repaint(guiOf(*plugin).window);
        guiOf(*plugin).close();
    }
    const DWORD before = gdiObjects();
    auto plugin = makePlugin();
    guiOf(*plugin).open(parent.get());
    HWND panel = guiOf(*plugin).window;
    HWND edit = guiOf(*plugin).editWindow;
    repaint(panel);
    EXPECT_GT(gdiObjects(), before) << "the back buffer exists";
    plugin.reset();
    pumpMessages();
    EXPECT_FALSE(IsWindow(panel));
    EXPECT_FALSE(IsWindow(edit));
    EXPECT_TRUE(IsWindow(parent.get()));
    EXPECT_EQ(gdiObjects(), before) << "back bitmap and memory DC released";
}

TEST(EditorLifecycle, HostDestroyingItsWindowFirst) {
    auto plugin = makePlugin();
    kelGui& gui = guiOf(*plugin);
    PluginCore& core = plugin->getCore();
    const DWORD before = gdiObjects();
    const std::int32_t countBefore = editorCount.load();
    {
        ParentWindow parent;
        gui.open(parent.get());
        repaint(gui.window);
    } // the host window and with it the panel are destroyed without effEditClose
    EXPECT_EQ(gui.window, nullptr);
    EXPECT_EQ(gui.editWindow, nullptr);
    EXPECT_EQ(core.editorWindow, nullptr) << "no repaint requests to a dead window";
    plugin->setProgram(2); // would invalidate the editor window
    gui.close();
    EXPECT_EQ(gui.backDC, nullptr);
    EXPECT_EQ(gdiObjects(), before);
    EXPECT_EQ(editorCount.load(), countBefore);
    ParentWindow again;
    gui.open(again.get());
    EXPECT_TRUE(IsWindow(gui.window));
    gui.close();
}

TEST(EditorLifecycle, CloseDuringADragEndsTheGesture) {
    ParentWindow parent;
    auto plugin = makePlugin();
    kelGui& gui = guiOf(*plugin);
    PluginCore& core = plugin->getCore();
    plugin->setParameter(ParamWindow, 0.0f);
    gui.open(parent.get());
    const POINT c = knobCentre(ParamWindow);
    SendMessageA(gui.window, WM_LBUTTONDOWN, MK_LBUTTON, mouseAt(c.x, c.y));
    EXPECT_EQ(GetCapture(), gui.window);
    SendMessageA(gui.window, WM_MOUSEMOVE, MK_LBUTTON, mouseAt(c.x, c.y - 20));
    EXPECT_FLOAT_EQ(core.paramCache[ParamWindow], 0.1f);
    HWND first = gui.window;
    gui.close();
    EXPECT_EQ(gui.dragControl, nullptr);
    EXPECT_NE(GetCapture(), first);

    gui.open(parent.get());
    calls.clear();
    core.fileCallback = &recordCall;
    SendMessageA(gui.window, WM_MOUSEMOVE, 0, mouseAt(c.x, c.y - 90));
    EXPECT_FLOAT_EQ(core.paramCache[ParamWindow], 0.1f) << "no button: nothing turns";
    EXPECT_EQ(core.engine->patch->window, 10);
    SendMessageA(gui.window, WM_LBUTTONUP, 0, mouseAt(20, 10));
    EXPECT_TRUE(calls.empty()) << "no release without a press";
    gui.close();
}

TEST(EditorLifecycle, MessagesWithoutAnEditorGetDefaultProcessing) {
    ParentWindow parent;
    auto plugin = makePlugin();
    kelGui& gui = guiOf(*plugin);
    PluginCore& core = plugin->getCore();
    gui.open(parent.get());
    repaint(gui.window);
    const float before = core.paramCache[ParamWindow];
    SetWindowLongPtrA(gui.window, GWLP_USERDATA, 0);
    const POINT c = knobCentre(ParamWindow);
    SendMessageA(gui.window, WM_LBUTTONDOWN, MK_LBUTTON, mouseAt(c.x, c.y));
    SendMessageA(gui.window, WM_MOUSEMOVE, MK_LBUTTON, mouseAt(c.x, c.y - 80));
    SendMessageA(gui.window, WM_LBUTTONUP, 0, mouseAt(c.x, c.y - 80));
    SendMessageA(gui.window, WM_DROPFILES, reinterpret_cast<WPARAM>(makeDrop("C:\\x.txt")), 0);
    core.redrawAll = 1;
    repaint(gui.window);
    RECT pending{};
    EXPECT_FALSE(GetUpdateRect(gui.window, &pending, FALSE)) << "the paint was validated";
    EXPECT_EQ(core.redrawAll, 1) << "the editor did not paint";
    EXPECT_EQ(gui.dragControl, nullptr);
    EXPECT_EQ(core.paramCache[ParamWindow], before);
    SetWindowLongPtrA(gui.window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&gui));
    gui.close();
}

TEST(EditorLifecycle, PaintAndInputAfterTeardownBeganTouchNothing) {
    ParentWindow parent;
    auto plugin = makePlugin();
    kelGui& gui = guiOf(*plugin);
    PluginCore& core = plugin->getCore();
    gui.open(parent.get());
    repaint(gui.window);
    const POINT c = knobCentre(ParamModulation);
    SendMessageA(gui.window, WM_LBUTTONDOWN, MK_LBUTTON, mouseAt(c.x, c.y));
    {
        // The first steps of the plug-in object's teardown: engine and cache are freed.
        std::lock_guard<std::mutex> lock(plugin->getBusyFlags().writers);
        core.engine.reset();
    }
    core.paramCache.reset();
    core.redrawAll = 1;
    repaint(gui.window);
    EXPECT_EQ(core.redrawAll, 1) << "nothing was drawn from freed state";
    SendMessageA(gui.window, WM_MOUSEMOVE, MK_LBUTTON, mouseAt(c.x, c.y - 50));
    SendMessageA(gui.window, WM_LBUTTONUP, 0, mouseAt(c.x, c.y - 50));
    SendMessageA(gui.window, WM_LBUTTONDOWN, MK_LBUTTON, mouseAt(c.x, c.y));
    SendMessageA(gui.window, WM_DROPFILES, reinterpret_cast<WPARAM>(makeDrop("C:\\x.txt")), 0);
    EXPECT_EQ(gui.dragControl, nullptr);
    HWND panel = gui.window;
    plugin.reset();
    EXPECT_FALSE(IsWindow(panel));
}

TEST(EditorLifecycle, FilesDroppedOnTheTitleReachTheFileCallback) {
    ParentWindow parent;
    auto plugin = makePlugin();
    kelGui& gui = guiOf(*plugin);
    PluginCore& core = plugin->getCore();
    gui.open(parent.get());
    calls.clear();
    core.fileCallback = &recordCall;
    auto dropAt = [&](int x, int y, const char* path) {
        POINT p{x, y};
        ClientToScreen(gui.window, &p);
        SetCursorPos(p.x, p.y);
        POINT now{};
        GetCursorPos(&now);
        EXPECT_EQ(now.x, p.x) << "cursor placed";
        SendMessageA(gui.window, WM_DROPFILES, reinterpret_cast<WPARAM>(makeDrop(path)), 0);
    };
    dropAt(30, 50, "C:\\sounds\\knob.txt"); // a knob: not a notify control
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(core.droppedFilePath[0], 0);
    dropAt(242, 10, "C:\\sounds\\gap.txt");
    EXPECT_TRUE(calls.empty());
    dropAt(120, 12, "C:\\sounds\\title.txt");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], std::make_pair(100, static_cast<UINT>(WM_DROPFILES)));
    EXPECT_STREQ(core.droppedFilePath, "C:\\sounds\\title.txt");

    core.fileCallback = nullptr;
    dropAt(120, 12, "C:\\sounds\\other.txt");
    EXPECT_STREQ(core.droppedFilePath, "C:\\sounds\\title.txt") << "no callback, no target";
    gui.close();
}

TEST(EditorLifecycle, TextFieldsAreEditedInTheEditWindow) {
    ParentWindow parent;
    auto plugin = makePlugin();
    kelGui& gui = guiOf(*plugin);
    PluginCore& core = plugin->getCore();
    gui.open(parent.get());
    EditorControl* panelList = core.controls;
    char buffer[16] = "abc";
    EditorControl field{};
    field.kind = TextField;
    field.fontSize = 12;
    field.text = buffer;
    field.textCapacity = sizeof(buffer);
    field.x = 100;
    field.y = 30;
    field.width = 80;
    field.height = 22;
    field.paramIndex = -1;
    core.controls = &field;

    EXPECT_TRUE(SendMessageA(gui.window, WM_LBUTTONDOWN, MK_LBUTTON, mouseAt(120, 40)) == 0);
    EXPECT_EQ(gui.selectedControl, &field);
    const RECT placed = clientRectInParent(gui.editWindow);
    EXPECT_EQ(placed.left, 100);
    EXPECT_EQ(placed.top, 30);
    EXPECT_EQ(placed.right - placed.left, 80);
    EXPECT_EQ(placed.bottom - placed.top, 22);
    char shown[16] = {};
    GetWindowTextA(gui.editWindow, shown, sizeof(shown));
    EXPECT_STREQ(shown, "abc");
    SendMessageA(gui.window, WM_LBUTTONUP, 0, mouseAt(120, 40));

    SetWindowTextA(gui.editWindow, "a much longer text");
    const std::int32_t redraws = core.redrawAll;
    SendMessageA(gui.window, WM_LBUTTONDOWN, MK_LBUTTON, mouseAt(5, 5));
    SendMessageA(gui.window, WM_LBUTTONUP, 0, mouseAt(5, 5));
    EXPECT_STREQ(buffer, "a much longer t") << "copied back within the buffer's capacity";
    const RECT parked = clientRectInParent(gui.editWindow);
    EXPECT_EQ(parked.left, 364);
    EXPECT_EQ(parked.right - parked.left, 0);
    EXPECT_EQ(core.redrawAll, redraws + 1);
    core.controls = panelList;
    gui.close();
}
