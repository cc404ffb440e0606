// Choosing the initial program by number or by name.

#include "tools/quarnel_render/program_select.h"

#include <gtest/gtest.h>

namespace quarnel_render {
namespace {

std::vector<std::string> bank() {
    std::vector<std::string> names(64);
    names[0] = "Lead 1";
    names[15] = "Pad 1";
    names[23] = "Keys 1";
    names[38] = "Bell 1";
    names[40] = "Keys 1"; // a duplicate: the first slot wins
    names[45] = "Bell 8";
    return names;
}

TEST(ProgramSelect, NumbersSelectSlots) {
    const auto names = bank();
    EXPECT_EQ(resolveProgram("0", names).index, 0);
    EXPECT_EQ(resolveProgram("23", names).index, 23);
    EXPECT_EQ(resolveProgram(" 7 ", names).index, 7);
    EXPECT_EQ(resolveProgram("063", names).index, 63);
    EXPECT_EQ(resolveProgram("000", names).index, 0);
    EXPECT_TRUE(resolveProgram("23", names).error.empty());

    for (const char* request : {"64", "99999999999999999999999"}) {
        const ProgramChoice choice = resolveProgram(request, names);
        EXPECT_EQ(choice.index, -1) << request;
        EXPECT_NE(choice.error.find("out of range (0..63)"), std::string::npos) << choice.error;
    }
    EXPECT_EQ(resolveProgram("0", {}).index, -1);
}

TEST(ProgramSelect, NamesMatchWithoutRegardToCase) {
    const auto names = bank();
    EXPECT_EQ(resolveProgram("Keys 1", names).index, 23);
    EXPECT_EQ(resolveProgram("keys 1", names).index, 23);
    EXPECT_EQ(resolveProgram("  BELL 8 ", names).index, 45);
    EXPECT_EQ(resolveProgram("pAd 1", names).index, 15);
    EXPECT_EQ(resolveProgram("Keys", names).index, -1); // no prefix matching
    EXPECT_EQ(resolveProgram("Keys  1", names).index, -1);
}

TEST(ProgramSelect, UnknownNamesListTheNamedSlots) {
    const auto names = bank();
    for (const char* request : {"Organ", "", "-1"}) {
        const ProgramChoice choice = resolveProgram(request, names);
        EXPECT_EQ(choice.index, -1) << request;
        EXPECT_NE(choice.error.find("unknown program \"" + std::string(request) + "\""),
                  std::string::npos)
            << choice.error;
        EXPECT_NE(choice.error.find("\n  0  Lead 1"), std::string::npos);
        EXPECT_NE(choice.error.find("\n  38  Bell 1"), std::string::npos);
        EXPECT_NE(choice.error.find("\n  40  Keys 1"), std::string::npos);
        EXPECT_EQ(choice.error.find("\n  1  "), std::string::npos); // unnamed slots are left out
    }
    const ProgramChoice none = resolveProgram("Lead 1", std::vector<std::string>(4));
    EXPECT_EQ(none.index, -1);
    EXPECT_NE(none.error.find("reports no program names"), std::string::npos);
}

} // namespace
} // namespace quarnel_render
