// The Linux panel as a Linux host drives it, under a virtual X server: effEditOpen into a window
// the host made, the pixels the panel shows (border, caption boxes, each knob's arc at the angle
// its value implies), knobs dragged with synthetic mouse input (XTest) and read back through
// getParameter, a repaint after the host changes a parameter, the title click that reads
// "debug.txt", reopening, two instances, destroying the plug-in or the host's window with the
// panel open, the panel's X resources over thousands of repaints, no panel without a display,
// and the shared object's NEEDED list.
//
// Setting QUARNEL_EDITOR_SCREENSHOT_PNG to a file path writes the panel at its default program
// to that path as a PNG file (README.md, "The editor panel", keeps it in docs/).
#include "host_fixture.h"
#include "tests/support/host_gestures.h"
#include "tests/support/panel_look.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XRes.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <cairo.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <numbers>
#include <set>
#include <string>
#include <thread>
#include <vector>

using hosttest::newInstance;

namespace {
using namespace paneltest;

constexpr auto kPatience = std::chrono::seconds(3);

/// The host's own connection to the X server.
Display* hostDisplay() {
    static Display* display = XOpenDisplay(nullptr);
    return display;
}

/// True once ready() holds, polling for up to kPatience.
bool eventually(const std::function<bool()>& ready) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!ready()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

/// A top-level window standing in for a host's editor frame.
class HostWindow {
  public:
    explicit HostWindow(int slot = 0) {
        Display* d = hostDisplay();
        // Far enough from the screen's edges that drags of 100 pixels stay on the screen.
        window = XCreateSimpleWindow(d, DefaultRootWindow(d), 200, 200 + 250 * slot, 420, 160, 0, 0,
                                     0xFFFFFF);
        XMapWindow(d, window);
        XSync(d, False);
    }
    ~HostWindow() {
        if (window) XDestroyWindow(hostDisplay(), window);
        XSync(hostDisplay(), False);
    }
    HostWindow(const HostWindow&) = delete;
    HostWindow& operator=(const HostWindow&) = delete;
    void* handle() const { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(window)); }
    void destroy() {
        XDestroyWindow(hostDisplay(), window);
        XSync(hostDisplay(), False);
        window = 0;
    }

    Window window = 0;
};

std::vector<Window> childrenOf(Window parent) {
    Window root = 0, up = 0, *list = nullptr;
    unsigned count = 0;
    std::vector<Window> children;
    XSync(hostDisplay(), False);
    if (XQueryTree(hostDisplay(), parent, &root, &up, &list, &count)) {
        children.assign(list, list + count);
        if (list) XFree(list);
    }
    return children;
}

/// The panel's window: the plug-in's child of the host window (0 when there is none).
Window panelOf(const HostWindow& host) {
    const std::vector<Window> children = childrenOf(host.window);
    return children.size() == 1 ? children[0] : 0;
}

/// The window's pixels as COLORREF values 0x00BBGGRR, like the Windows panel's colours.
struct Snapshot : PanelPixels {
    explicit Snapshot(Window window) {
        XImage* image =
            XGetImage(hostDisplay(), window, 0, 0, kPanelWidth, kPanelHeight, AllPlanes, ZPixmap);
        if (!image) return;
        for (int y = 0; y < kPanelHeight; ++y)
            for (int x = 0; x < kPanelWidth; ++x) {
                const unsigned long p = XGetPixel(image, x, y);
                pixels[static_cast<std::size_t>(y * kPanelWidth + x)] = static_cast<std::uint32_t>(
                    ((p & 0xFF) << 16) | (p & 0xFF00) | ((p >> 16) & 0xFF));
            }
        XDestroyImage(image);
    }
    bool savePng(const std::string& path) const {
        cairo_surface_t* image =
            cairo_image_surface_create(CAIRO_FORMAT_RGB24, kPanelWidth, kPanelHeight);
        cairo_surface_flush(image);
        unsigned char* data = cairo_image_surface_get_data(image);
        const int stride = cairo_image_surface_get_stride(image);
        for (int y = 0; y < kPanelHeight; ++y)
            for (int x = 0; x < kPanelWidth; ++x) {
                const std::uint32_t c = at(x, y);
                const std::uint32_t rgb = ((c & 0xFF) << 16) | (c & 0xFF00) | ((c >> 16) & 0xFF);
                std::memcpy(data + y * stride + 4 * x, &rgb, 4);
            }
        cairo_surface_mark_dirty(image);
        const bool written =
            cairo_surface_write_to_png(image, path.c_str()) == CAIRO_STATUS_SUCCESS;
        cairo_surface_destroy(image);
        return written;
    }
};

/// One pixel of the window, read from the server now.
std::uint32_t pixelAt(Window window, int x, int y) {
    XImage* image = XGetImage(hostDisplay(), window, x, y, 1, 1, AllPlanes, ZPixmap);
    if (!image) return 0xFFFFFFFFu;
    const unsigned long p = XGetPixel(image, 0, 0);
    XDestroyImage(image);
    return static_cast<std::uint32_t>(((p & 0xFF) << 16) | (p & 0xFF00) | ((p >> 16) & 0xFF));
}

/// The point on knob i's ring at an angle, panel pixels.
std::pair<int, int> ringPoint(int knob, double degrees) {
    const double radians = degrees * std::numbers::pi / 180.0;
    return {kKnobs[knob].x + kKnobHalf +
                static_cast<int>(std::lround(kTrackRadius * std::cos(radians))),
            kKnobTop + kKnobHalf - static_cast<int>(std::lround(kTrackRadius * std::sin(radians)))};
}

/// Waits until the panel shows its first paints (the border drawn), then a little longer for
/// the incremental paint that follows them.
bool settle(Window panel) {
    const bool drawn = eventually([&] { return pixelAt(panel, 0, 0) == kOutline; });
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    return drawn;
}

/// The panel's top-left corner on the root window.
std::pair<int, int> screenOrigin(Window panel) {
    int x = 0, y = 0;
    Window child = 0;
    XTranslateCoordinates(hostDisplay(), panel, DefaultRootWindow(hostDisplay()), 0, 0, &x, &y,
                          &child);
    return {x, y};
}

std::pair<int, int> knobCentre(int knob) {
    return {kKnobs[knob].x + kKnobHalf, kKnobTop + kKnobHalf};
}

/// Press at from (panel pixels), one move by (dx, dy), release: as a user's drag reaches the X
/// server from the mouse.
void drag(Window panel, std::pair<int, int> from, int dx, int dy, unsigned button = Button1) {
    Display* d = hostDisplay();
    const auto [ox, oy] = screenOrigin(panel);
    XTestFakeMotionEvent(d, -1, ox + from.first, oy + from.second, CurrentTime);
    XTestFakeButtonEvent(d, button, True, CurrentTime);
    XTestFakeMotionEvent(d, -1, ox + from.first + dx, oy + from.second + dy, CurrentTime);
    XTestFakeButtonEvent(d, button, False, CurrentTime);
    XSync(d, False);
}

void click(Window panel, int x, int y, unsigned button = Button1) {
    drag(panel, {x, y}, 0, 0, button);
}

/// Holds Shift down on the X server's keyboard while alive.
class ShiftHeld {
  public:
    ShiftHeld() : key(XKeysymToKeycode(hostDisplay(), XK_Shift_L)) { press(True); }
    ~ShiftHeld() { press(False); }
    ShiftHeld(const ShiftHeld&) = delete;
    ShiftHeld& operator=(const ShiftHeld&) = delete;

  private:
    void press(Bool down) {
        XTestFakeKeyEvent(hostDisplay(), key, down, CurrentTime);
        XSync(hostDisplay(), False);
    }
    KeyCode key;
};

/// Waits for the panel's thread to bring parameter index to expected, then checks it.
void expectParameter(vsthost::PluginInstance& fx, int index, float expected, float tolerance) {
    eventually([&] { return std::fabs(fx.getParameter(index) - expected) <= tolerance; });
    EXPECT_NEAR(fx.getParameter(index), expected, tolerance) << "parameter " << index;
}

/// An instance with its panel open in a host window and painted.
struct OpenPanel {
    explicit OpenPanel(int slot = 0) : host(slot), fx(newInstance()) {
        if (!fx->valid()) return;
        opened = fx->dispatch(effEditOpen, 0, 0, host.handle());
        panel = panelOf(host);
        if (panel) settle(panel);
    }
    ~OpenPanel() {
        if (fx->valid()) fx->dispatch(effEditClose);
    }

    HostWindow host;
    std::unique_ptr<vsthost::PluginInstance> fx;
    VstIntPtr opened = 0;
    Window panel = 0;
};

/// The directory of the plug-in library the host loaded, with a trailing slash.
std::string pluginDirectory() {
    const std::string path = vsthost::pluginPathFromEnvironment(QUARNEL_PLUGIN_PATH);
    return path.substr(0, path.find_last_of('/') + 1);
}

/// Every X resource the client owning window holds, all types together; their names and
/// counts go to listing.
long resourcesOfClient(Window window, std::string* listing = nullptr) {
    int types = 0;
    XResType* counts = nullptr;
    if (!XResQueryClientResources(hostDisplay(), window, &types, &counts)) return -1;
    long total = 0;
    for (int i = 0; i < types; ++i) {
        total += counts[i].count;
        if (listing) {
            char* name = XGetAtomName(hostDisplay(), counts[i].resource_type);
            char entry[96];
            std::snprintf(entry, sizeof(entry), " %s %u", name, counts[i].count);
            listing->append(entry);
            XFree(name);
        }
    }
    XFree(counts);
    return total;
}
} // namespace

TEST(X11Panel, OpensAs364By104ChildThatAnswersTheMouse) {
    auto fx = newInstance();
    ASSERT_TRUE(fx->valid());
    EXPECT_EQ(fx->effect()->flags, 0x131) << "the shared object reports its editor";
    ERect* rect = nullptr;
    ASSERT_EQ(fx->dispatch(effEditGetRect, 0, 0, &rect), 1);
    EXPECT_EQ(rect->right - rect->left, kPanelWidth);
    EXPECT_EQ(rect->bottom - rect->top, kPanelHeight);

    HostWindow host;
    ASSERT_EQ(fx->dispatch(effEditOpen, 0, 0, host.handle()), 1);
    ASSERT_EQ(childrenOf(host.window).size(), 1u);
    const Window panel = panelOf(host);
    XWindowAttributes attributes{};
    XGetWindowAttributes(hostDisplay(), panel, &attributes);
    EXPECT_EQ(attributes.width, kPanelWidth);
    EXPECT_EQ(attributes.height, kPanelHeight);
    EXPECT_EQ(attributes.x, 0);
    EXPECT_EQ(attributes.y, 0);
    EXPECT_EQ(attributes.map_state, IsViewable);

    fx->setParameter(0, 0.0f);
    drag(panel, knobCentre(0), 0, -40);
    expectParameter(*fx, 0, 0.2f, 1e-6f);
    EXPECT_EQ(fx->dispatch(effEditIdle), 0);
    fx->dispatch(effEditClose);
    EXPECT_TRUE(childrenOf(host.window).empty());
}

TEST(X11Panel, ShowsBorderCaptionBoxesAndKnobArcsAtTheirValues) {
    OpenPanel editor;
    ASSERT_EQ(editor.opened, 1);
    const Snapshot shot(editor.panel);
    if (const char* path = std::getenv("QUARNEL_EDITOR_SCREENSHOT_PNG")) {
        EXPECT_TRUE(shot.savePng(path)) << path;
    }

    float values[6];
    for (int k = 0; k < 6; ++k)
        values[k] = editor.fx->getParameter(k);
    expectPanelLayout(shot, values);
}

TEST(X11Panel, HostParameterChangesRepaintTheKnob) {
    OpenPanel editor;
    ASSERT_EQ(editor.opened, 1);
    const auto [x, y] = ringPoint(5, 90);
    editor.fx->setParameter(5, 0.0f);
    EXPECT_TRUE(eventually([&] { return pixelAt(editor.panel, x, y) == kOutline; }));
    editor.fx->setParameter(5, 1.0f);
    EXPECT_TRUE(eventually([&] { return pixelAt(editor.panel, x, y) == kKnobs[5].accent; }));
    editor.fx->setParameter(0, 1.0f);
    const auto [x0, y0] = ringPoint(0, 0);
    EXPECT_TRUE(eventually([&] { return pixelAt(editor.panel, x0, y0) == kKnobs[0].accent; }));
    editor.fx->setParameter(0, 0.0f);
    EXPECT_TRUE(eventually([&] { return pixelAt(editor.panel, x0, y0) == kOutline; }));
    const Snapshot shot(editor.panel);
    for (int a = -45; a <= 225; a += 5)
        EXPECT_NE(shot.ring(0, a), kKnobs[0].accent) << "knob 0 at 0 has no value arc, at " << a;
    for (int a = -33; a <= 213; a += 6)
        EXPECT_EQ(shot.ring(5, a), kKnobs[5].accent) << "knob 5 at 1, at " << a;
    EXPECT_EQ(shot.ring(5, -56), kBackground) << "the arc ends at -45 degrees";
}

TEST(X11Panel, ControllerChangesOnTheAudioThreadRepaintTheKnob) {
    OpenPanel editor;
    ASSERT_EQ(editor.opened, 1);
    vsthost::PluginInstance& fx = *editor.fx;
    const auto [x, y] = ringPoint(1, 0); // "Mod." at 1 has its arc at 0 degrees, at 0 not
    fx.setParameter(1, 0.0f);
    ASSERT_TRUE(eventually([&] { return pixelAt(editor.panel, x, y) == kOutline; }));
    std::vector<float> left, right;
    fx.sendMidi({{0, 0xB0, 20, 127}}); // controller 20: the live program's "Modulation"
    fx.render(64, left, right);
    EXPECT_FLOAT_EQ(fx.getParameter(1), 1.0f);
    EXPECT_TRUE(eventually([&] { return pixelAt(editor.panel, x, y) == kKnobs[1].accent; }))
        << "the knob shows the value the controller set, without a full repaint";
}

TEST(X11Panel, DraggingKnobsSetsTheirParameters) {
    OpenPanel editor;
    ASSERT_EQ(editor.opened, 1);
    vsthost::PluginInstance& fx = *editor.fx;
    fx.setParameter(0, 0.0f);
    drag(editor.panel, knobCentre(0), 0, -100);
    expectParameter(fx, 0, 0.5f, 1e-6f);
    drag(editor.panel, knobCentre(0), 0, -100);
    expectParameter(fx, 0, 1.0f, 1e-6f);
    drag(editor.panel, knobCentre(0), 0, -100);
    drag(editor.panel, knobCentre(0), 0, 40); // no dead zone after the clamp
    expectParameter(fx, 0, 0.8f, 1e-6f);

    fx.setParameter(1, 0.5f);
    drag(editor.panel, knobCentre(1), 10, 20); // diagonal: the 20 pixels down count
    expectParameter(fx, 1, 0.4f, 1e-6f);
    drag(editor.panel, knobCentre(1), 30, -20); // the 30 pixels right count
    expectParameter(fx, 1, 0.55f, 1e-6f);

    fx.setParameter(2, 0.0f);
    {
        ShiftHeld shift;
        drag(editor.panel, knobCentre(2), 0, -100);
    }
    expectParameter(fx, 2, 0.1f, 1.0f / 180);
    fx.setParameter(3, 0.25f);
    drag(editor.panel, knobCentre(3), 50, 0, Button3); // the right button turns knobs too
    expectParameter(fx, 3, 0.5f, 1.0f / 180);

    const auto [x, y] = ringPoint(0, 30); // 0.8 turns the knob to 9 degrees
    EXPECT_TRUE(eventually([&] { return pixelAt(editor.panel, x, y) == kKnobs[0].accent; }))
        << "the panel shows the dragged value";
    const auto [tx, ty] = ringPoint(0, -12);
    EXPECT_EQ(pixelAt(editor.panel, tx, ty), kOutline);
}

TEST(X11Panel, KnobDragsReachTheHostAsAutomationGestures) {
    using gesturetest::heard;
    HostWindow host;
    vsthost::PluginInstance fx(hosttest::library(), &gesturetest::recordingHost);
    ASSERT_TRUE(fx.valid());
    fx.start(44100.0f, 512);
    ASSERT_EQ(fx.dispatch(effEditOpen, 0, 0, host.handle()), 1);
    const Window panel = panelOf(host);
    ASSERT_TRUE(settle(panel));
    Display* d = hostDisplay();
    const auto [ox, oy] = screenOrigin(panel);
    auto pointerAt = [&](int knob, int dx, int dy) {
        const auto [cx, cy] = knobCentre(knob);
        XTestFakeMotionEvent(d, -1, ox + cx + dx, oy + cy + dy, CurrentTime);
        XSync(d, False);
    };
    auto button = [&](Bool down) {
        XTestFakeButtonEvent(d, Button1, down, CurrentTime);
        XSync(d, False);
    };

    fx.setParameter(0, 0.0f);
    gesturetest::takeEdits();
    pointerAt(0, 0, 0);
    button(True);
    pointerAt(0, 0, -20);
    pointerAt(0, 0, -40);
    pointerAt(0, 1, -40); // 0.205: the parameter stays at 20 %, the host hears nothing
    pointerAt(0, 1, -60);
    button(False);
    ASSERT_TRUE(eventually([] { return heard(audioMasterEndEdit) > 0; }));
    gesturetest::expectGesture(gesturetest::takeEdits(), 0, {0.1f, 0.2f, 0.3f});
    EXPECT_FLOAT_EQ(fx.getParameter(0), 0.3f);

    // A panel closed in the middle of a drag ends the gesture it began.
    fx.setParameter(1, 0.0f);
    pointerAt(1, 0, 0);
    button(True);
    pointerAt(1, 0, -40);
    ASSERT_TRUE(eventually([] { return heard(audioMasterAutomate) > 0; }));
    fx.dispatch(effEditClose);
    button(False);
    gesturetest::expectGesture(gesturetest::takeEdits(), 1, {0.2f});
}

TEST(X11Panel, LeftReleaseOverTheTitleLoadsDebugTxt) {
    OpenPanel editor;
    ASSERT_EQ(editor.opened, 1);
    vsthost::PluginInstance& fx = *editor.fx;
    const std::string path = pluginDirectory() + "debug.txt";
    {
        std::ofstream out(path);
        out << "Test, 40, 60,\n12, 34, 1500, -20, 30\n50, 10, -10,\n300, 9000,\n";
    }
    fx.setParameter(0, 0.9f);
    click(editor.panel, 120, 12, Button3);
    click(editor.panel, 30, 90); // a caption, not the title
    fx.setParameter(1, 0.0f);
    drag(editor.panel, knobCentre(1), 0, -20); // handled after the clicks
    expectParameter(fx, 1, 0.1f, 1e-6f);
    EXPECT_FLOAT_EQ(fx.getParameter(0), 0.9f) << "only a left release over the title reads it";
    click(editor.panel, 120, 12);
    expectParameter(fx, 0, 0.4f, 1e-6f);
    expectParameter(fx, 4, (300.0f - 10.0f) / 1490.0f, 1e-6f);
    std::remove(path.c_str());
}

TEST(X11Panel, OpenCloseOpenShowsTheSamePanel) {
    auto fx = newInstance();
    HostWindow host;
    fx->setParameter(3, 0.7f);
    ASSERT_EQ(fx->dispatch(effEditOpen, 0, 0, host.handle()), 1);
    ASSERT_TRUE(settle(panelOf(host)));
    const Snapshot first(panelOf(host));
    fx->dispatch(effEditClose);
    EXPECT_TRUE(childrenOf(host.window).empty());
    fx->dispatch(effEditClose); // a second close has nothing to do
    ASSERT_EQ(fx->dispatch(effEditOpen, 0, 0, host.handle()), 1);
    ASSERT_EQ(childrenOf(host.window).size(), 1u);
    ASSERT_TRUE(settle(panelOf(host)));
    const Snapshot second(panelOf(host));
    EXPECT_EQ(first.pixels, second.pixels);
    ASSERT_EQ(fx->dispatch(effEditOpen, 0, 0, host.handle()), 1);
    EXPECT_EQ(childrenOf(host.window).size(), 1u) << "an open without a close replaces the panel";
    fx->dispatch(effEditClose);
}

TEST(X11Panel, TwoInstancesShowTwoPanels) {
    OpenPanel a(0), b(1);
    ASSERT_EQ(a.opened, 1);
    ASSERT_EQ(b.opened, 1);
    ASSERT_NE(a.panel, b.panel);
    a.fx->setParameter(0, 1.0f);
    b.fx->setParameter(0, 0.0f);
    const auto [x, y] = ringPoint(0, 0);
    EXPECT_TRUE(eventually([&] { return pixelAt(a.panel, x, y) == kKnobs[0].accent; }));
    EXPECT_TRUE(eventually([&] { return pixelAt(b.panel, x, y) == kOutline; }));

    drag(b.panel, knobCentre(0), 0, -100);
    expectParameter(*b.fx, 0, 0.5f, 1e-6f);
    EXPECT_FLOAT_EQ(a.fx->getParameter(0), 1.0f) << "the other instance is untouched";
}

TEST(X11Panel, DestroyingThePluginOrTheHostWindowWithThePanelOpen) {
    HostWindow host;
    auto fx = newInstance();
    ASSERT_EQ(fx->dispatch(effEditOpen, 0, 0, host.handle()), 1);
    const Window panel = panelOf(host);
    ASSERT_TRUE(settle(panel));
    const auto [ox, oy] = screenOrigin(panel);
    XTestFakeMotionEvent(hostDisplay(), -1, ox + 32, oy + 52, CurrentTime);
    XTestFakeButtonEvent(hostDisplay(), Button1, True, CurrentTime); // a drag under way
    XSync(hostDisplay(), False);
    fx->setParameter(2, 0.3f); // a paint pending
    EXPECT_EQ(fx->close(), 1);
    XTestFakeButtonEvent(hostDisplay(), Button1, False, CurrentTime);
    EXPECT_TRUE(childrenOf(host.window).empty());

    // The host destroys its window before it closes the panel.
    HostWindow other(1);
    auto again = newInstance();
    ASSERT_EQ(again->dispatch(effEditOpen, 0, 0, other.handle()), 1);
    ASSERT_TRUE(settle(panelOf(other)));
    other.destroy();
    again->setParameter(1, 0.9f);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    again->dispatch(effEditClose);
    EXPECT_EQ(again->dispatch(effEditOpen, 0, 0, host.handle()), 1) << "and opens again";
    ASSERT_TRUE(settle(panelOf(host)));
    EXPECT_EQ(pixelAt(panelOf(host), 0, 0), kOutline);
}

TEST(X11Panel, ThousandsOfRepaintsLeaveTheXResourcesFlat) {
    OpenPanel editor;
    ASSERT_EQ(editor.opened, 1);
    vsthost::PluginInstance& fx = *editor.fx;
    // Turns knobs fully up or down and now and then changes the program, each change shown
    // before the next; returns how many of them were seen painted.
    int step = 0;
    auto repaint = [&](int count) {
        int seen = 0;
        for (int i = 0; i < count; ++i, ++step) {
            const int knob = step % 6;
            const bool up = (step / 6) % 2 == 0;
            if (step % 50 == 49) fx.dispatch(effSetProgram, 0, step % 46); // a full repaint
            fx.setParameter(knob, up ? 1.0f : 0.0f);
            XClearArea(hostDisplay(), editor.panel, 0, 0, 1, 1, True); // an exposure wakes it
            XFlush(hostDisplay());
            const auto [x, y] = ringPoint(knob, 90);
            const std::uint32_t wanted = up ? kKnobs[knob].accent : kOutline;
            if (eventually([&] { return pixelAt(editor.panel, x, y) == wanted; })) ++seen;
        }
        return seen;
    };
    // The count must see the panel's own resources (its window and GC at least), or the
    // comparison below proves nothing.
    const long before = resourcesOfClient(editor.panel);
    ASSERT_GE(before, 2);
    constexpr int kRepaints = 3000;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(repaint(kRepaints), kRepaints) << "every change was painted";
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::string listing;
    const long after = resourcesOfClient(editor.panel, &listing);
    std::printf("[ x11 panel ] X resources before %ld, after %d repaints %ld (%s; %.2f ms a "
                "change)\n",
                before, kRepaints, after, listing.empty() ? "" : listing.c_str() + 1,
                1000.0 * seconds / kRepaints);
    EXPECT_EQ(after, before);
}

TEST(X11Panel, NoDisplayNoPanel) {
    const std::string display = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
    unsetenv("DISPLAY");
    auto fx = newInstance();
    HostWindow host;
    EXPECT_EQ(fx->dispatch(effEditOpen, 0, 0, host.handle()), 0);
    setenv("DISPLAY", display.c_str(), 1);
    EXPECT_TRUE(childrenOf(host.window).empty());
    EXPECT_EQ(fx->dispatch(effEditOpen, 0, 0, nullptr), 0) << "no parent window";
    EXPECT_EQ(fx->dispatch(effEditOpen, 0, 0, reinterpret_cast<void*>(std::uintptr_t{0x7FFFFFF})),
              0)
        << "a parent that is no window";
    fx->dispatch(effEditClose);
}

TEST(PluginLibrary, NeedsOnlyTheCAndCppRuntimes) {
#if defined(QUARNEL_SANITIZED)
    GTEST_SKIP() << "sanitizer builds link their runtimes";
#endif
    const std::string command =
        "readelf -d '" + vsthost::pluginPathFromEnvironment(QUARNEL_PLUGIN_PATH) + "'";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::set<std::string> needed;
    char line[512];
    while (std::fgets(line, sizeof(line), pipe)) {
        const char* open = std::strstr(line, "(NEEDED)");
        const char* name = open ? std::strchr(open, '[') : nullptr;
        const char* end = name ? std::strchr(name, ']') : nullptr;
        if (end) needed.insert(std::string(name + 1, end));
    }
    EXPECT_EQ(pclose(pipe), 0);
    const std::set<std::string> runtimes = {"libstdc++.so.6", "libm.so.6", "libgcc_s.so.1",
                                            "libc.so.6", "ld-linux-x86-64.so.2"};
    EXPECT_EQ(needed, runtimes);
}
