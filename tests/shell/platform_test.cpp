#include "platform/platform.h"

#include <gtest/gtest.h>

#include <string>

TEST(Platform, SiblingPathReplacesTheFileName) {
    char out[64];
    std::string sep(1, platform::pathSeparator);
    std::string lib = sep + "plugins" + sep + "Quarnel.x";
    platform::siblingPath(lib.c_str(), "debug.txt", out, sizeof(out));
    EXPECT_EQ(std::string(out), sep + "plugins" + sep + "debug.txt");
    platform::siblingPath("Quarnel.x", "log.csv", out, sizeof(out));
    EXPECT_EQ(std::string(out), "log.csv");
    platform::siblingPath(nullptr, "log.csv", out, sizeof(out));
    EXPECT_EQ(std::string(out), "log.csv");
    // A result that does not fit leaves an empty string rather than a cut path.
    std::string longDir = sep + std::string(60, 'd') + sep + "Quarnel.x";
    platform::siblingPath(longDir.c_str(), "debug.txt", out, sizeof(out));
    EXPECT_EQ(std::string(out), "");
}

TEST(Platform, LibraryPathIsAbsolute) {
    char path[260];
    platform::libraryPath(path, sizeof(path));
    std::string p(path);
    ASSERT_FALSE(p.empty());
    EXPECT_NE(p.find(platform::pathSeparator), std::string::npos);
}
