// The Linux panel: its Display connection, child window, back buffer and thread, the X11 events
// turned into the shared gestures, and the paints.
#include "editor/kel_gui_x11.h"

#include "editor/panel_canvas_cairo.h"
#include "editor/panel_input.h"
#include "editor/panel_painter.h"
#include "editor/x11_library.h"
#include "shell/editor_factory.h"
#include "shell/kel_vst.h"

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
constexpr unsigned kLeftButton = Button1;
constexpr unsigned kRightButton = Button3;

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

    kelGuiX11& gui;
    const X11Library& x;
    const int width;
    const int height;
    Display* display = nullptr;
    Visual* visual = nullptr;
    Window window = 0;
    Pixmap pixmap = 0;
    GC gc = nullptr;
    cairo_surface_t* surface = nullptr;
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
    XSetWindowAttributes attributes{};
    attributes.background_pixmap = None; // the back buffer covers the whole window
    attributes.border_pixel = 0;
    attributes.colormap = DefaultColormap(display, screen);
    attributes.event_mask = kEventMask;
    window = x.XCreateWindow(display, parent, 0, 0, static_cast<unsigned>(width),
                             static_cast<unsigned>(height), 0, depth, InputOutput, visual,
                             CWBackPixmap | CWBorderPixel | CWColormap | CWEventMask, &attributes);
    pixmap = x.XCreatePixmap(display, window, static_cast<unsigned>(width),
                             static_cast<unsigned>(height), static_cast<unsigned>(depth));
    gc = x.XCreateGC(display, pixmap, 0, nullptr);
    x.XMapWindow(display, window);
    x.XSync(display, False);
    if (xError.load()) return false;
    surface = x.cairo_xlib_surface_create(display, pixmap, visual, width, height);
    return x.cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS;
}

X11Session::~X11Session() {
    if (surface) x.cairo_surface_destroy(surface);
    if (display) {
        if (gc) x.XFreeGC(display, gc);
        if (pixmap) x.XFreePixmap(display, pixmap);
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
        if (gui.plugin->isConstructed() && gui.pluginAlive()) {
            for (int n = 0; n < kPaintsAtOnce && panelNeedsPaint(*gui.core); ++n) {
                cairo_t* cr = x.cairo_create(surface);
                CairoCanvas canvas(x, cr);
                paintPanel(canvas, gui);
                x.cairo_destroy(cr);
                drawn = true;
            }
        }
    }
    if (!drawn && !exposed && !repaintRequested) return;
    repaintRequested = false;
    x.cairo_surface_flush(surface);
    x.XCopyArea(display, pixmap, window, gc, 0, 0, static_cast<unsigned>(width),
                static_cast<unsigned>(height), 0, 0);
    x.XFlush(display);
}

// ---- the editor --------------------------------------------------------------------------------

kelGuiX11::kelGuiX11(kelVst& owner) : PanelEditor(owner) {}

kelGuiX11::~kelGuiX11() {
    close();
}

bool kelGuiX11::open(void* parent) {
    // An open without a close since the last one replaces that panel.
    if (session) close();
    systemWindow = nullptr;
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
    systemWindow = parent;
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
    session.reset();
}

void kelGuiX11::idle() {
    if (session) session->wake();
}

void kelGuiX11::invalidatePanel() {
    if (session) session->repaintRequested = true;
}

AEffEditor* createEditor(kelVst& plugin) {
    return new kelGuiX11(plugin);
}

void stopEditor(AEffEditor* editor) {
    static_cast<kelGuiX11*>(editor)->close();
}
