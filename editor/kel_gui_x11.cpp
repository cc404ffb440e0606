// The Linux panel: its Display connection, child window, back buffer and thread, the X11 events
// turned into the shared gestures, and the paints.
#include "editor/kel_gui_x11.h"

#include "editor/panel_canvas_cairo.h"
#include "editor/panel_input.h"
#include "editor/panel_painter.h"
#include "editor/x11_library.h"
#include "instrument/plugin_core.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace {
/// How long the panel's thread waits for an event before it looks for changes to paint, ms.
constexpr int kTickMilliseconds = 15;
/// Pending full repaints after an open: the first two paints draw the whole panel.
constexpr std::int32_t kOpenFullRepaints = 2;
/// Paints done at once before the back buffer is shown: the two full repaints after an open and
/// the incremental one that follows.
constexpr int kPaintsAtOnce = 3;
/// What the panel's window hears: exposures, both buttons, motion while a button is held, and
/// its own destruction (the host may destroy its window before closing the panel).
constexpr long kEventMask =
    ExposureMask | ButtonPressMask | ButtonReleaseMask | ButtonMotionMask | StructureNotifyMask;
/// Row padding of the frame image, bits.
constexpr int kFramePad = 32;
constexpr unsigned kLeftButton = Button1;
constexpr unsigned kRightButton = Button3;

/// Where an 8-bit colour channel goes in a pixel of the window's visual: its mask's position and
/// width (the channel's top bits are kept where the visual has fewer than 8).
struct ChannelPlace {
    explicit ChannelPlace(unsigned long mask) {
        while (mask && !(mask & 1)) {
            mask >>= 1;
            ++shift;
        }
        while (mask & 1) {
            mask >>= 1;
            ++bits;
        }
    }
    unsigned long place(std::uint32_t channel) const {
        const unsigned long value = channel & 0xFF;
        const unsigned long scaled = bits >= 8 ? value << (bits - 8) : value >> (8 - bits);
        return scaled << shift;
    }
    int shift = 0;
    int bits = 0;
};

// ---- X protocol errors -------------------------------------------------------------------------
// Xlib's error handler is one for the whole process, and its default ends the process. While
// any panel is open, errors on the panels' own connections (a window the host destroyed first,
// a parent that is no window) are only noted; errors on every other connection go on to the
// handler that was there before.

struct ErrorRoute {
    Display* display;
    std::atomic<bool>* seen;
};

std::mutex errorRoutesLock;
std::vector<ErrorRoute> errorRoutes;
XErrorHandler previousErrorHandler = nullptr;

int panelErrorHandler(Display* display, XErrorEvent* error) {
    XErrorHandler chained = nullptr;
    {
        std::lock_guard<std::mutex> lock(errorRoutesLock);
        for (const ErrorRoute& route : errorRoutes) {
            if (route.display == display) {
                route.seen->store(true);
                return 0;
            }
        }
        chained = previousErrorHandler;
    }
    return chained ? chained(display, error) : 0;
}

void routeErrors(const X11Library& x, Display* display, std::atomic<bool>* seen) {
    std::lock_guard<std::mutex> lock(errorRoutesLock);
    if (errorRoutes.empty()) previousErrorHandler = x.XSetErrorHandler(&panelErrorHandler);
    errorRoutes.push_back({display, seen});
}

void unrouteErrors(const X11Library& x, Display* display) {
    std::lock_guard<std::mutex> lock(errorRoutesLock);
    std::erase_if(errorRoutes, [&](const ErrorRoute& route) { return route.display == display; });
    if (!errorRoutes.empty()) return;
    // Put the earlier handler back, unless someone installed another one since.
    XErrorHandler current = x.XSetErrorHandler(previousErrorHandler);
    if (current != &panelErrorHandler) x.XSetErrorHandler(current);
    previousErrorHandler = nullptr;
}
} // namespace

// ---- one open panel --------------------------------------------------------------------------

struct X11Session {
    X11Session(kelGuiX11& editor, const X11Library& library)
        : gui(editor), x(library), width(editor.panelWidth()), height(editor.panelHeight()) {}
    ~X11Session();
    X11Session(const X11Session&) = delete;
    X11Session& operator=(const X11Session&) = delete;

    /// Connects, and creates the window inside parent with its back buffer; false on any failure
    /// (whatever was made is released by the destructor).
    bool create(Window parent);
    void start() {
        thread = std::thread([this] { run(); });
    }
    void stop();
    void wake();

    // ---- the panel's thread ----
    void run();
    /// Handles one event; true for an exposure of the panel's window.
    bool handle(const XEvent& event);
    void paint(bool exposed);
    /// Copies the back buffer into frame, pixel by pixel in the window's format.
    void convertFrame();

    kelGuiX11& gui;
    const X11Library& x;
    const int width;
    const int height;
    Display* display = nullptr;
    Visual* visual = nullptr;
    Window window = 0;
    GC gc = nullptr;
    /// The back buffer: the panel drawn by cairo in client memory (xRGB, 32 bits a pixel).
    cairo_surface_t* backBuffer = nullptr;
    /// The back buffer in the window's pixel format, sent to the window at every paint.
    XImage* frame = nullptr;
    std::vector<char> frameBytes;
    int wakeFd = -1;
    bool errorsRouted = false;
    std::atomic<bool> xError{false};
    std::atomic<bool> stopping{false};
    std::thread thread;
    bool windowGone = false;       ///< the host destroyed the window (panel's thread)
    bool repaintRequested = false; ///< a change on the panel asks for a paint (panel's thread)
};

bool X11Session::create(Window parent) {
    wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd < 0) return false;
    display = x.XOpenDisplay(nullptr);
    if (!display) return false;
    routeErrors(x, display, &xError);
    errorsRouted = true;

    const int screen = DefaultScreen(display);
    visual = DefaultVisual(display, screen);
    const int depth = DefaultDepth(display, screen);
    // Colours are put into the window's pixels through the visual's channel masks.
    if (visual->c_class != TrueColor && visual->c_class != DirectColor) return false;
    XSetWindowAttributes attributes{};
    attributes.background_pixmap = None; // the back buffer covers the whole window
    attributes.border_pixel = 0;
    attributes.colormap = DefaultColormap(display, screen);
    attributes.event_mask = kEventMask;
    window = x.XCreateWindow(display, parent, 0, 0, static_cast<unsigned>(width),
                             static_cast<unsigned>(height), 0, depth, InputOutput, visual,
                             CWBackPixmap | CWBorderPixel | CWColormap | CWEventMask, &attributes);
    gc = x.XCreateGC(display, window, 0, nullptr);
    x.XMapWindow(display, window);
    x.XSync(display, False);
    if (xError.load()) return false;

    backBuffer = x.cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
    if (x.cairo_surface_status(backBuffer) != CAIRO_STATUS_SUCCESS) return false;
    frame =
        x.XCreateImage(display, visual, static_cast<unsigned>(depth), ZPixmap, 0, nullptr,
                       static_cast<unsigned>(width), static_cast<unsigned>(height), kFramePad, 0);
    if (!frame) return false;
    frameBytes.assign(static_cast<std::size_t>(frame->bytes_per_line) * height, 0);
    frame->data = frameBytes.data();
    return true;
}

X11Session::~X11Session() {
    if (frame) {
        frame->data = nullptr; // frameBytes owns the pixels
        XDestroyImage(frame);
    }
    if (backBuffer) x.cairo_surface_destroy(backBuffer);
    if (display) {
        if (gc) x.XFreeGC(display, gc);
        if (window && !windowGone) x.XDestroyWindow(display, window);
        x.XSync(display, False);
        x.XCloseDisplay(display);
    }
    if (errorsRouted) unrouteErrors(x, display);
    if (wakeFd >= 0) ::close(wakeFd);
}

void X11Session::wake() {
    const std::uint64_t one = 1;
    // Non-blocking: a counter already at its limit has a wake-up pending anyway.
    [[maybe_unused]] const ssize_t written = ::write(wakeFd, &one, sizeof(one));
}

void X11Session::stop() {
    if (!thread.joinable()) return;
    stopping.store(true);
    wake();
    thread.join();
}

void X11Session::run() {
    const int connection = ConnectionNumber(display);
    while (!stopping.load()) {
        if (x.XPending(display) == 0) {
            pollfd waits[2] = {{connection, POLLIN, 0}, {wakeFd, POLLIN, 0}};
            ::poll(waits, 2, kTickMilliseconds);
        }
        std::uint64_t wakes = 0;
        [[maybe_unused]] const ssize_t read = ::read(wakeFd, &wakes, sizeof(wakes));
        bool exposed = false;
        while (!stopping.load() && x.XPending(display) > 0) {
            XEvent event;
            x.XNextEvent(display, &event);
            exposed = handle(event) || exposed;
        }
        // Controller changes the audio thread made: marked dirty here, painted below.
        if (gui.link->instrumentReady()) gui.link->takeAudioChanges();
        paint(exposed);
    }
}

bool X11Session::handle(const XEvent& event) {
    switch (event.type) {
    case Expose:
        return event.xexpose.window == window;
    case DestroyNotify:
        if (event.xdestroywindow.window == window) {
            windowGone = true;
            gui.dragControl = nullptr;
            endGesture(gui);
            std::lock_guard<std::mutex> lock(gui.core->busy->writers);
            gui.core->editorWindow = nullptr;
        }
        return false;
    case ButtonPress:
    case ButtonRelease:
    case MotionNotify:
        break;
    default:
        return false;
    }
    // Once the plug-in object's teardown has begun its parameter cache is gone: the gesture
    // ends here.
    if (windowGone || !gui.pluginAlive()) {
        gui.dragControl = nullptr;
        endGesture(gui);
        return false;
    }
    const XButtonEvent& button = event.xbutton;
    if (event.type == MotionNotify) {
        dragTo(gui, event.xmotion.x, event.xmotion.y, (event.xmotion.state & ShiftMask) != 0);
    } else if (button.button == kLeftButton || button.button == kRightButton) {
        const bool left = button.button == kLeftButton;
        if (event.type == ButtonPress)
            pressAt(gui, left ? kMessageLeftButtonDown : kMessageRightButtonDown, button.x,
                    button.y);
        else
            releaseButton(gui, left ? kMessageLeftButtonUp : kMessageRightButtonUp);
    }
    return false;
}

void X11Session::paint(bool exposed) {
    if (windowGone) return;
    bool drawn = false;
    {
        // Writers change the parameter cache and the dirty marks under this lock, and the
        // plug-in object frees its engine under it.
        std::lock_guard<std::mutex> lock(gui.core->busy->writers);
        if (gui.link->instrumentReady() && gui.pluginAlive()) {
            for (int n = 0; n < kPaintsAtOnce && panelNeedsPaint(*gui.core); ++n) {
                cairo_t* cr = x.cairo_create(backBuffer);
                CairoCanvas canvas(x, cr);
                paintPanel(canvas, gui);
                x.cairo_destroy(cr);
                drawn = true;
            }
        }
    }
    if (!drawn && !exposed && !repaintRequested) return;
    repaintRequested = false;
    if (drawn) convertFrame();
    x.XPutImage(display, window, gc, frame, 0, 0, 0, 0, static_cast<unsigned>(width),
                static_cast<unsigned>(height));
    x.XFlush(display);
}

void X11Session::convertFrame() {
    x.cairo_surface_flush(backBuffer);
    const unsigned char* pixels = x.cairo_image_surface_get_data(backBuffer);
    const int stride = x.cairo_image_surface_get_stride(backBuffer);
    const ChannelPlace red(visual->red_mask), green(visual->green_mask), blue(visual->blue_mask);
    for (int py = 0; py < height; ++py) {
        const auto* row = reinterpret_cast<const std::uint32_t*>(pixels + py * stride);
        for (int px = 0; px < width; ++px) {
            const std::uint32_t rgb = row[px];
            XPutPixel(frame, px, py,
                      red.place(rgb >> 16) | green.place(rgb >> 8) | blue.place(rgb));
        }
    }
}

// ---- the editor --------------------------------------------------------------------------------

kelGuiX11::kelGuiX11(PanelLink& owner) : PanelEditor(owner) {}

kelGuiX11::~kelGuiX11() {
    close();
}

bool kelGuiX11::open(void* parent) {
    // An open without a close since the last one replaces that panel.
    if (session) close();
    const X11Library* x = x11Library();
    if (!parent || !x) return false;
    if (!controlsBuilt) {
        // Building reads the parameters of the control engine, which writers change.
        std::lock_guard<std::mutex> lock(core->busy->writers);
        if (!pluginAlive()) return false;
        buildControls(*core, panel);
        controlsBuilt = true;
    }
    auto opened = std::make_unique<X11Session>(*this, *x);
    if (!opened->create(static_cast<Window>(reinterpret_cast<std::uintptr_t>(parent))))
        return false;
    {
        std::lock_guard<std::mutex> lock(core->busy->writers);
        core->editorWindow = reinterpret_cast<void*>(static_cast<std::uintptr_t>(opened->window));
        core->redrawAll = kOpenFullRepaints;
    }
    session = std::move(opened);
    session->start();
    return true;
}

void kelGuiX11::close() {
    if (!session) return;
    session->stop();
    {
        std::lock_guard<std::mutex> lock(core->busy->writers);
        core->editorWindow = nullptr;
    }
    // A gesture does not survive its window.
    dragControl = nullptr;
    endGesture(*this);
    session.reset();
}

void kelGuiX11::idle() {
    if (session) session->wake();
}

void kelGuiX11::invalidatePanel() {
    if (session) session->repaintRequested = true;
}

std::unique_ptr<PanelEditor> createPanel(PanelLink& link) {
    return std::make_unique<kelGuiX11>(link);
}
