// Loading the windowing libraries at run time: a missing library is reported, not fatal (the
// panel then answers effEditOpen with 0); the installed ones give every function.
#include <gtest/gtest.h>

#include "editor/x11_library.h"

TEST(X11Library, AMissingLibraryIsReportedAndTheInstalledOnesResolve) {
    X11Library missing;
    EXPECT_FALSE(loadX11Library(missing, "libquarnel-absent.so.1", kCairoLibraryFile));
    EXPECT_FALSE(loadX11Library(missing, kX11LibraryFile, "libquarnel-absent.so.2"));

    X11Library installed;
    ASSERT_TRUE(loadX11Library(installed, kX11LibraryFile, kCairoLibraryFile));
    EXPECT_NE(installed.XOpenDisplay, nullptr);
    EXPECT_NE(installed.XSetErrorHandler, nullptr);
    EXPECT_NE(installed.cairo_show_text, nullptr);
    EXPECT_EQ(x11Library() != nullptr, true) << "the process's table loads as well";
}
