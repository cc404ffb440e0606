// Loading the X11 and cairo libraries at run time.
#include "editor/x11_library.h"

#include <dlfcn.h>

namespace {
void* openLibrary(const char* file) {
    return file ? dlopen(file, RTLD_NOW | RTLD_LOCAL) : nullptr;
}

template <typename Function> bool resolve(void* handle, const char* name, Function& function) {
    function = reinterpret_cast<Function>(dlsym(handle, name));
    return function != nullptr;
}
} // namespace

bool loadX11Library(X11Library& library, const char* x11File, const char* cairoFile) {
    void* x11 = openLibrary(x11File);
    if (!x11) return false;
    void* cairo = openLibrary(cairoFile);
    if (!cairo) return false;
    bool complete = true;
#define QUARNEL_RESOLVE_X11(name) complete = resolve(x11, #name, library.name) && complete;
#define QUARNEL_RESOLVE_CAIRO(name) complete = resolve(cairo, #name, library.name) && complete;
    QUARNEL_X11_FUNCTIONS(QUARNEL_RESOLVE_X11)
    QUARNEL_CAIRO_FUNCTIONS(QUARNEL_RESOLVE_CAIRO)
#undef QUARNEL_RESOLVE_X11
#undef QUARNEL_RESOLVE_CAIRO
    return complete;
}

const X11Library* x11Library() {
    static const X11Library* const loaded = []() -> const X11Library* {
        static X11Library library;
        return loadX11Library(library, kX11LibraryFile, kCairoLibraryFile) ? &library : nullptr;
    }();
    return loaded;
}
