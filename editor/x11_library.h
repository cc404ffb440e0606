// The X11 and cairo functions the Linux panel uses. The plug-in is compiled against their
// headers but linked with neither library: both are loaded with dlopen when a panel is first
// opened, so the plug-in loads and renders where no windowing library is installed (a render
// server, CI, the render tool), and there a panel simply does not open.
#pragma once

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <cairo.h>

/// The library files loaded, by their run-time names.
constexpr const char* kX11LibraryFile = "libX11.so.6";
constexpr const char* kCairoLibraryFile = "libcairo.so.2";

// Each entry: the function's name. The table's members carry the names of the functions they
// point to, so calls read as they would with the libraries linked.
// clang-format off
#define QUARNEL_X11_FUNCTIONS(F)                                                                   \
    F(XOpenDisplay)                                                                                \
    F(XCloseDisplay)                                                                               \
    F(XCreateWindow)                                                                               \
    F(XDestroyWindow)                                                                              \
    F(XMapWindow)                                                                                  \
    F(XCreateGC)                                                                                   \
    F(XFreeGC)                                                                                     \
    F(XCreateImage)                                                                                \
    F(XPutImage)                                                                                   \
    F(XPending)                                                                                    \
    F(XNextEvent)                                                                                  \
    F(XFlush)                                                                                      \
    F(XSync)                                                                                       \
    F(XSetErrorHandler)

#define QUARNEL_CAIRO_FUNCTIONS(F)                                                                 \
    F(cairo_image_surface_create)                                                                  \
    F(cairo_image_surface_get_data)                                                                \
    F(cairo_image_surface_get_stride)                                                              \
    F(cairo_surface_destroy)                                                                       \
    F(cairo_surface_flush)                                                                         \
    F(cairo_surface_status)                                                                        \
    F(cairo_create)                                                                                \
    F(cairo_destroy)                                                                               \
    F(cairo_save)                                                                                  \
    F(cairo_restore)                                                                               \
    F(cairo_translate)                                                                             \
    F(cairo_scale)                                                                                 \
    F(cairo_set_source_rgb)                                                                        \
    F(cairo_set_line_width)                                                                        \
    F(cairo_set_line_cap)                                                                          \
    F(cairo_new_path)                                                                              \
    F(cairo_move_to)                                                                               \
    F(cairo_line_to)                                                                               \
    F(cairo_rectangle)                                                                             \
    F(cairo_arc_negative)                                                                          \
    F(cairo_fill)                                                                                  \
    F(cairo_stroke)                                                                                \
    F(cairo_select_font_face)                                                                      \
    F(cairo_set_font_size)                                                                         \
    F(cairo_font_extents)                                                                          \
    F(cairo_text_extents)                                                                          \
    F(cairo_show_text)
// clang-format on

struct X11Library {
#define QUARNEL_LIBRARY_MEMBER(name) decltype(&::name) name = nullptr;
    QUARNEL_X11_FUNCTIONS(QUARNEL_LIBRARY_MEMBER)
    QUARNEL_CAIRO_FUNCTIONS(QUARNEL_LIBRARY_MEMBER)
#undef QUARNEL_LIBRARY_MEMBER
};

/// Loads the two library files and resolves every function of the table; false (and the table
/// left incomplete) when a file or a function is missing.
bool loadX11Library(X11Library& library, const char* x11File, const char* cairoFile);

/// The process's table, loaded from kX11LibraryFile and kCairoLibraryFile at the first call;
/// null when they cannot be loaded. The libraries stay loaded for the life of the process: they
/// keep per-display hooks and caches that outlive any one panel. Safe from any thread.
const X11Library* x11Library();
