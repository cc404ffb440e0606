// The panel of every framework format, opened through each built plug-in's entry point the way
// that format's hosts embed it (VST3: the edit controller's view attached to the host's window,
// with the host's run loop on Linux; CLAP: the gui extension's create, set_parent and show, with
// the host's timers; LV2: the bundle's UI with the host's window as ui:parent and the plug-in
// instance): it opens inside the parent and shows the knobs, a drag on a knob reaches the host as
// one gesture (begin, one value per change, end) in the format's own terms, a host's parameter
// change repaints the knob, and closing takes the panel's window away and frees what it holds
// (the sanitizer build checks for leaks). Linux under a virtual X server (synthetic mouse input
// through XTest), Windows VST3 and CLAP under Wine (mouse messages).
#include "tests/formats/formats_under_test.h"
#include "tests/support/panel_look.h"
#include "tools/format_hosts/format_instance.h"

#include <gtest/gtest.h>

#if defined(_WIN32)
#include "tests/support/windows_probe.h"
#include <windows.h>
#else
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#endif

#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <numbers>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using formathost::Format;
using formathost::PanelEdit;
using namespace paneltest;

constexpr auto kPatience = std::chrono::seconds(5);
constexpr std::int32_t kBlock = 64;

// ---- the host's window and the mouse, per system ------------------------------------------------

#if defined(_WIN32)
class HostWindow {
  public:
    std::uintptr_t handle() const { return reinterpret_cast<std::uintptr_t>(frame.get()); }
    /// The plug-in's window inside the host's; 0 when there is none.
    std::uintptr_t panel() const {
        return reinterpret_cast<std::uintptr_t>(
            FindWindowExA(frame.get(), nullptr, nullptr, nullptr));
    }
    static void pump() { windowsprobe::pumpMessages(); }
    /// The whole panel's pixels.
    static PanelPixels shot(std::uintptr_t panel) {
        PanelPixels pixels;
        HWND window = reinterpret_cast<HWND>(panel);
        HDC dc = GetDC(window);
        for (int y = 0; y < kPanelHeight; ++y)
            for (int x = 0; x < kPanelWidth; ++x)
                pixels.pixels[std::size_t(y * kPanelWidth + x)] = GetPixel(dc, x, y);
        ReleaseDC(window, dc);
        return pixels;
    }
    static std::uint32_t pixel(std::uintptr_t panel, int x, int y) {
        HDC dc = GetDC(reinterpret_cast<HWND>(panel));
        const COLORREF c = GetPixel(dc, x, y);
        ReleaseDC(reinterpret_cast<HWND>(panel), dc);
        return c;
    }
    /// Press on (x, y), one move for each of steps (offsets from the press), release.
    static void drag(std::uintptr_t panel, int x, int y,
                     const std::vector<std::pair<int, int>>& steps) {
        HWND window = reinterpret_cast<HWND>(panel);
        auto at = [](int px, int py) {
            return MAKELPARAM(static_cast<WORD>(static_cast<std::int16_t>(px)),
                              static_cast<WORD>(static_cast<std::int16_t>(py)));
        };
        SendMessageA(window, WM_LBUTTONDOWN, MK_LBUTTON, at(x, y));
        for (const auto& [dx, dy] : steps)
            SendMessageA(window, WM_MOUSEMOVE, MK_LBUTTON, at(x + dx, y + dy));
        const auto [lx, ly] = steps.back();
        SendMessageA(window, WM_LBUTTONUP, 0, at(x + lx, y + ly));
    }

  private:
    windowsprobe::HostFrame frame;
};
#else
Display* hostDisplay() {
    static Display* display = XOpenDisplay(nullptr);
    return display;
}

class HostWindow {
  public:
    HostWindow() {
        Display* d = hostDisplay();
        window = XCreateSimpleWindow(d, DefaultRootWindow(d), 200, 200, 420, 160, 0, 0, 0xFFFFFF);
        XMapWindow(d, window);
        XSync(d, False);
    }
    ~HostWindow() {
        XDestroyWindow(hostDisplay(), window);
        XSync(hostDisplay(), False);
    }
    HostWindow(const HostWindow&) = delete;
    HostWindow& operator=(const HostWindow&) = delete;

    std::uintptr_t handle() const { return window; }
    std::uintptr_t panel() const {
        Window root = 0, up = 0, *list = nullptr;
        unsigned count = 0;
        std::uintptr_t child = 0;
        XSync(hostDisplay(), False);
        if (XQueryTree(hostDisplay(), window, &root, &up, &list, &count)) {
            if (count == 1) child = list[0];
            if (list) XFree(list);
        }
        return child;
    }
    static void pump() { XSync(hostDisplay(), False); }
    static PanelPixels shot(std::uintptr_t panel) {
        PanelPixels pixels;
        XImage* image =
            XGetImage(hostDisplay(), panel, 0, 0, kPanelWidth, kPanelHeight, AllPlanes, ZPixmap);
        if (!image) return pixels;
        for (int y = 0; y < kPanelHeight; ++y)
            for (int x = 0; x < kPanelWidth; ++x) {
                const unsigned long p = XGetPixel(image, x, y);
                pixels.pixels[std::size_t(y * kPanelWidth + x)] = static_cast<std::uint32_t>(
                    ((p & 0xFF) << 16) | (p & 0xFF00) | ((p >> 16) & 0xFF));
            }
        XDestroyImage(image);
        return pixels;
    }
    static std::uint32_t pixel(std::uintptr_t panel, int x, int y) {
        XImage* image = XGetImage(hostDisplay(), panel, x, y, 1, 1, AllPlanes, ZPixmap);
        if (!image) return 0xFFFFFFFFu;
        const unsigned long p = XGetPixel(image, 0, 0);
        XDestroyImage(image);
        return static_cast<std::uint32_t>(((p & 0xFF) << 16) | (p & 0xFF00) | ((p >> 16) & 0xFF));
    }
    static void drag(std::uintptr_t panel, int x, int y,
                     const std::vector<std::pair<int, int>>& steps) {
        Display* d = hostDisplay();
        int ox = 0, oy = 0;
        Window child = 0;
        XTranslateCoordinates(d, panel, DefaultRootWindow(d), 0, 0, &ox, &oy, &child);
        XTestFakeMotionEvent(d, -1, ox + x, oy + y, CurrentTime);
        XTestFakeButtonEvent(d, Button1, True, CurrentTime);
        for (const auto& [dx, dy] : steps) {
            XTestFakeMotionEvent(d, -1, ox + x + dx, oy + y + dy, CurrentTime);
            XSync(d, False);
        }
        XTestFakeButtonEvent(d, Button1, False, CurrentTime);
        XSync(d, False);
    }

  private:
    Window window = 0;
};
#endif

class FormatPanel : public ::testing::TestWithParam<FormatUnderTest> {
  protected:
    void SetUp() override {
        std::string error;
        instance = formathost::openInstance(GetParam().format, GetParam().path, error);
        ASSERT_TRUE(instance) << error;
        formathost::StartOptions options;
        options.maxBlock = kBlock;
        ASSERT_TRUE(instance->start(options)) << instance->error();
    }

    /// A turn of the host's loops: window messages, the format's timers or idle calls, one
    /// block of audio (where CLAP hands over the panel's output events); the gesture steps
    /// heard are added to edits.
    void turn() {
        HostWindow::pump();
        instance->idlePanel();
        instance->process({}, {}, kBlock, left.data(), right.data());
        for (const PanelEdit& edit : instance->takePanelEdits())
            edits.push_back(edit);
    }

    /// True once ready() holds, turning the loops meanwhile, for up to kPatience.
    bool eventually(const std::function<bool()>& ready) {
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (!ready()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            turn();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    std::unique_ptr<formathost::Instance> instance;
    std::vector<PanelEdit> edits;
    std::vector<float> left = std::vector<float>(kBlock), right = std::vector<float>(kBlock);
};

std::string formatLabel(const ::testing::TestParamInfo<FormatUnderTest>& info) {
    return formathost::formatName(info.param.format);
}

INSTANTIATE_TEST_SUITE_P(Formats, FormatPanel, ::testing::ValuesIn(kFormats), formatLabel);

/// The point on knob i's ring at an angle, panel pixels.
std::pair<int, int> ringPoint(int knob, double degrees) {
    const double radians = degrees * std::numbers::pi / 180.0;
    return {kKnobs[knob].x + kKnobHalf +
                static_cast<int>(std::lround(kTrackRadius * std::cos(radians))),
            kKnobTop + kKnobHalf - static_cast<int>(std::lround(kTrackRadius * std::sin(radians)))};
}

} // namespace

TEST_P(FormatPanel, OpensInTheParentAndADragIsOneGestureAtTheHost) {
    HostWindow host;
    instance->setParameter(0, 0.0);
    ASSERT_TRUE(instance->openPanel(host.handle())) << instance->error();
    std::uintptr_t panel = 0;
    ASSERT_TRUE(eventually([&] { return (panel = host.panel()) != 0; })) << "a child of the parent";
    EXPECT_TRUE(eventually([&] { return HostWindow::pixel(panel, 0, 0) == kOutline; }))
        << "the panel's border is drawn";
    const auto [ax, ay] = ringPoint(0, 90);
    EXPECT_TRUE(eventually([&] { return HostWindow::pixel(panel, ax, ay) == kOutline; }))
        << "the knob shows 0: its top is bare track";
    float shown[6];
    for (int k = 0; k < 6; ++k)
        shown[k] = static_cast<float>(instance->parameter(k));
    expectPanelLayout(HostWindow::shot(panel), shown);

    edits.clear();
    // A host change still on its way to the processor when the panel is dragged: the drag is
    // later and must win. The pause lets the panel take the whole drag before the next block.
    instance->setParameter(0, 0.0);
    HostWindow::drag(panel, kKnobs[0].x + kKnobHalf, kKnobTop + kKnobHalf,
                     {{0, -20}, {0, -40}, {1, -40}, {1, -60}});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_TRUE(eventually([&] {
        return !edits.empty() && edits.back().kind == PanelEdit::Kind::End;
    })) << "the gesture ends at the host";
    // 0.205 after the third step leaves the parameter at 20 %: the host hears nothing of it.
    const std::vector<double> values = {0.1, 0.2, 0.3};
    std::ostringstream heard;
    for (const PanelEdit& edit : edits)
        heard << " " << int(edit.kind) << ":" << edit.index << "=" << edit.value;
    ASSERT_EQ(edits.size(), values.size() + 2)
        << "begin, one value per change, end (kind:index=value):" << heard.str();
    EXPECT_EQ(edits.front().kind, PanelEdit::Kind::Begin);
    for (std::size_t i = 0; i < edits.size(); ++i)
        EXPECT_EQ(edits[i].index, 0) << "step " << i;
    for (std::size_t i = 0; i < values.size(); ++i) {
        EXPECT_EQ(edits[i + 1].kind, PanelEdit::Kind::Value) << "step " << i + 1;
        EXPECT_NEAR(edits[i + 1].value, values[i], 1e-6) << "step " << i + 1;
    }
    EXPECT_NEAR(instance->parameter(0), 0.3, 1e-6) << "what the host reads back";
    for (int block = 0; block < 4; ++block)
        turn();
    EXPECT_NEAR(instance->parameter(0), 0.3, 1e-6) << "and keeps after the blocks that follow";

    instance->setParameter(5, 1.0);
    const auto [bx, by] = ringPoint(5, 90);
    EXPECT_TRUE(eventually([&] { return HostWindow::pixel(panel, bx, by) == kKnobs[5].accent; }))
        << "a host's change repaints the knob";

    instance->closePanel();
    HostWindow::pump();
    EXPECT_EQ(host.panel(), 0u) << "closing takes the panel's window away";
    ASSERT_TRUE(instance->openPanel(host.handle())) << "and it opens again: " << instance->error();
    EXPECT_TRUE(eventually([&] {
        const std::uintptr_t again = host.panel();
        return again != 0 && HostWindow::pixel(again, bx, by) == kKnobs[5].accent;
    }));
    instance->closePanel();
}
