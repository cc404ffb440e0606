// Programs, parameters and chunks through the dispatcher, as a DAW uses them: names, the
// parameter table's edge cases and display texts, reads after changes, bank and preset save and
// restore, rejected chunks, and the restore orders hosts use when they reopen a project.
#include "host_fixture.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

using hosttest::newInstance;

namespace {
constexpr int kRecord = 328;
constexpr int kBank = 64 * kRecord;

std::vector<unsigned char> getChunk(vsthost::PluginInstance& fx, bool preset) {
    void* data = nullptr;
    VstIntPtr size = fx.dispatch(effGetChunk, preset ? 1 : 0, 0, &data);
    if (size <= 0 || !data) return {};
    auto* bytes = static_cast<unsigned char*>(data);
    return std::vector<unsigned char>(bytes, bytes + size);
}

VstIntPtr setChunk(vsthost::PluginInstance& fx, std::vector<unsigned char> data, bool preset,
                   VstIntPtr size = -1) {
    if (size < 0) size = static_cast<VstIntPtr>(data.size());
    return fx.dispatch(effSetChunk, preset ? 1 : 0, size, data.empty() ? nullptr : data.data());
}

std::string display(vsthost::PluginInstance& fx, int index) {
    return fx.text(effGetParamDisplay, index);
}

/// Renders a fixed phrase and returns the left channel.
std::vector<float> phrase(vsthost::PluginInstance& fx) {
    fx.sendMidi({{0, 0x90, 60, 110}, {0, 0x90, 67, 90}, {3000, 0x80, 60, 0}});
    std::vector<float> left, right, out;
    for (int block = 0; block < 16; ++block) {
        fx.render(512, left, right);
        out.insert(out.end(), left.begin(), left.end());
    }
    return out;
}

double difference(const std::vector<float>& a, const std::vector<float>& b) {
    double d = 0;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i)
        d = std::max(d, double(std::abs(a[i] - b[i])));
    return d;
}
} // namespace

TEST(Programs, NamesOfSlots) {
    auto fx = newInstance();
    EXPECT_EQ(fx->text(effGetProgramNameIndexed, 10), "Elephone 1");
    EXPECT_EQ(fx->text(effGetProgramNameIndexed, 0), "Lead 1");
    EXPECT_EQ(fx->text(effGetProgramNameIndexed, 45), "Bell 8");
    EXPECT_EQ(fx->text(effGetProgramNameIndexed, 50), "");
    EXPECT_EQ(fx->text(effGetProgramNameIndexed, 64), "");
    EXPECT_EQ(fx->text(effGetProgramNameIndexed, -1), "");
    EXPECT_EQ(fx->dispatch(effGetProgramNameIndexed, 64, 0, std::string(64, 'x').data()), 1);
    fx->dispatch(effSetProgram, 0, 38);
    EXPECT_EQ(fx->text(effGetProgramName), "Bell 1");

    // A name that fills its whole field reaches the host cut to the interface's 24 characters.
    std::vector<unsigned char> preset = getChunk(*fx, true);
    std::memset(&preset[44], 'n', 32);
    ASSERT_EQ(setChunk(*fx, preset, true), kRecord);
    for (VstInt32 opcode : {effGetProgramName, effGetProgramNameIndexed}) {
        std::string buffer(40, '#');
        fx->dispatch(opcode, 38, 0, buffer.data());
        EXPECT_EQ(buffer.substr(0, 25), std::string(24, 'n') + '\0') << opcode;
        EXPECT_EQ(buffer.substr(25), std::string(15, '#')) << opcode << " wrote past 25 bytes";
    }
}

TEST(Parameters, NamesAndLabelsCutToEightCharacters) {
    auto fx = newInstance();
    const char* names[] = {"Window", "Modulat", "Atack", "Sustain", "HPF", "LPF"};
    const char* labels[] = {"[%]", "[%]", "[%]", "[%]", "[Hz]", "[Hz]"};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(fx->text(effGetParamName, i), i == 1 ? "Modulati" : names[i]);
        EXPECT_EQ(fx->text(effGetParamLabel, i), labels[i]);
    }
    EXPECT_EQ(fx->text(effGetParamName, 6), "");
    EXPECT_EQ(fx->text(effGetParamLabel, -1), "");
    EXPECT_EQ(fx->text(effGetParamDisplay, 6), "");
    EXPECT_EQ(fx->getParameter(6), 0.0f);
}

TEST(Parameters, EdgeValuesAndDisplays) {
    auto fx = newInstance();
    struct Case {
        int index;
        float value;
        float reported;
        const char* text;
    };
    const Case cases[] = {
        {0, 0.5f, 0.5f, "50"},  {0, 1.0f, 1.0f, "100"},   {0, 0.0f, 0.0f, "0"},
        {1, 0.5f, 0.5f, "50"},  {1, 1.0f, 1.0f, "100"},   {1, 0.0f, 0.0f, "0"},
        {2, 0.5f, 0.5f, "10"},  {2, 1.0f, 1.0f, "100"},   {2, 0.0f, 0.0f, "-80"},
        {3, 1.0f, 1.0f, "100"}, {3, 0.0f, 0.0f, "-99"},   {4, 1.0f, 1.0f, "1500"},
        {4, 0.0f, 0.0f, "10"},  {5, 1.0f, 1.0f, "20000"}, {5, 0.0f, 0.0f, "2000"},
    };
    for (const Case& c : cases) {
        fx->setParameter(c.index, c.value);
        EXPECT_NEAR(fx->getParameter(c.index), c.reported, 1e-6f) << c.index << " " << c.value;
        EXPECT_EQ(display(*fx, c.index), c.text) << c.index << " " << c.value;
    }
}

TEST(Parameters, HostValuesOutsideTheRangeAreClamped) {
    auto fx = newInstance();
    fx->setParameter(0, 2.0f);
    EXPECT_EQ(display(*fx, 0), "100");
    fx->setParameter(2, -3.0f);
    EXPECT_EQ(display(*fx, 2), "-80");
    fx->setParameter(5, std::nanf(""));
    EXPECT_EQ(display(*fx, 5), "2000");
}

TEST(Parameters, FiltersTravelWithTheProgram) {
    auto fx = newInstance();
    fx->setParameter(4, 1.0f);
    EXPECT_EQ(display(*fx, 4), "1500");
    fx->dispatch(effSetProgram, 0, 23); // "Keys 1": 70 Hz and 10000 Hz
    EXPECT_EQ(display(*fx, 4), "70");
    EXPECT_EQ(display(*fx, 5), "10000");
    fx->dispatch(effSetProgram, 0, 0); // "Lead 1" keeps its changed high-pass
    EXPECT_EQ(display(*fx, 4), "1500");
    EXPECT_EQ(display(*fx, 5), "6500");
}

TEST(Parameters, ReadsAfterAnyChangeReportTheNewValue) {
    auto fx = newInstance();
    fx->setParameter(0, 0.5f);
    EXPECT_FLOAT_EQ(fx->getParameter(0), 0.5f);
    EXPECT_EQ(display(*fx, 0), "50");
    fx->setParameter(0, 0.2f);
    EXPECT_EQ(display(*fx, 0), "20");
    EXPECT_EQ(display(*fx, 0), "20");
    std::vector<unsigned char> preset = getChunk(*fx, true);
    ASSERT_EQ(preset.size(), 328u);
    preset[76] = 70; // window byte
    ASSERT_EQ(setChunk(*fx, preset, true), 328);
    EXPECT_EQ(display(*fx, 0), "70");
    EXPECT_FLOAT_EQ(fx->getParameter(0), 0.7f);
    fx->dispatch(effSetProgram, 0, 2); // "Lead 3": window 20
    EXPECT_FLOAT_EQ(fx->getParameter(0), 0.2f);
    EXPECT_EQ(display(*fx, 0), "20");
}

TEST(Chunks, BankSavedAndRestoredIntoAFreshInstance) {
    auto a = newInstance();
    a->dispatch(effSetProgram, 0, 7);
    a->setParameter(0, 0.3f);
    a->setParameter(3, 0.9f);
    std::vector<unsigned char> bank = getChunk(*a, false);
    ASSERT_EQ(bank.size(), static_cast<std::size_t>(kBank));
    auto b = newInstance();
    EXPECT_EQ(setChunk(*b, bank, false), kBank);
    EXPECT_EQ(getChunk(*b, false), bank);
    // Every header of the saved bank is stamped, also the empty slots.
    for (int slot = 0; slot < 64; ++slot) {
        std::int32_t version, size, check;
        std::memcpy(&version, &bank[slot * kRecord], 4);
        std::memcpy(&size, &bank[slot * kRecord + 36], 4);
        std::memcpy(&check, &bank[slot * kRecord + 40], 4);
        EXPECT_EQ(version, 1);
        EXPECT_EQ(size, 328);
        EXPECT_EQ(check, -329);
        EXPECT_EQ(std::memcmp(&bank[slot * kRecord + 4], "kelvar(Quarnel)", 16), 0);
    }
}

TEST(Chunks, PresetReloadsIntoTheCurrentSlotOnly) {
    auto fx = newInstance();
    fx->dispatch(effSetProgram, 0, 5);
    std::vector<unsigned char> preset = getChunk(*fx, true);
    std::vector<unsigned char> bankBefore = getChunk(*fx, false);
    ASSERT_EQ(preset.size(), 328u);
    EXPECT_EQ(std::memcmp(preset.data(), &bankBefore[5 * kRecord], kRecord), 0);
    fx->dispatch(effSetProgram, 0, 7);
    EXPECT_EQ(setChunk(*fx, preset, true), 328);
    std::vector<unsigned char> bankAfter = getChunk(*fx, false);
    for (int slot = 0; slot < 64; ++slot) {
        const unsigned char* expected = slot == 7 ? preset.data() : &bankBefore[slot * kRecord];
        EXPECT_EQ(std::memcmp(&bankAfter[slot * kRecord], expected, kRecord), 0) << slot;
    }
    EXPECT_EQ(fx->text(effGetProgramName), fx->text(effGetProgramNameIndexed, 5));
}

TEST(Chunks, RejectedChunksChangeNothing) {
    auto fx = newInstance();
    const std::vector<unsigned char> original = getChunk(*fx, false);
    std::vector<unsigned char> donor = original;
    // Change slot 0's name so an accepted load would be visible.
    std::memcpy(&donor[44], "Changed", 8);
    auto corrupt = [&](int offset, std::int32_t value) {
        std::vector<unsigned char> d = donor;
        std::memcpy(&d[offset], &value, 4);
        return d;
    };
    std::vector<unsigned char> wrongTag = donor;
    wrongTag[4] = 'X';
    struct Case {
        const char* what;
        std::vector<unsigned char> data;
        VstIntPtr size;
    };
    const Case cases[] = {
        {"version 2", corrupt(0, 2), kBank},
        {"size 327", corrupt(36, 327), kBank},
        {"check not the complement", corrupt(40, -328), kBank},
        {"wrong tag", wrongTag, kBank},
        {"size 0", donor, 0},
        {"43 bytes", donor, 43},
        {"null data", {}, kBank},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(setChunk(*fx, c.data, false, c.size), 0) << c.what;
        EXPECT_EQ(setChunk(*fx, c.data, true, c.size), 0) << c.what;
        EXPECT_EQ(getChunk(*fx, false), original) << c.what;
    }
}

TEST(Chunks, PartialBanksReplaceWholeRecordsOnly) {
    for (int size : {656, 700}) {
        auto fx = newInstance();
        std::vector<unsigned char> original = getChunk(*fx, false);
        std::vector<unsigned char> data(original.begin(), original.begin() + 3 * kRecord);
        std::memcpy(&data[44], "First", 6);
        std::memcpy(&data[kRecord + 44], "Second", 7);
        std::memcpy(&data[2 * kRecord + 44], "Third", 6);
        EXPECT_EQ(setChunk(*fx, data, false, size), size);
        EXPECT_EQ(fx->text(effGetProgramNameIndexed, 0), "First");
        EXPECT_EQ(fx->text(effGetProgramNameIndexed, 1), "Second");
        EXPECT_EQ(fx->text(effGetProgramNameIndexed, 2), "Lead 3") << size;
    }
}

TEST(Chunks, RestoreOrdersOfHostsEndWithTheSavedSoundAndValues) {
    // Save: program 15 with a rebuilt-only field (window) and both filter cut-offs changed.
    auto original = newInstance();
    original->dispatch(effSetProgram, 0, 15);
    original->setParameter(0, 1.0f);
    original->setParameter(4, 0.5f); // 755 Hz
    original->setParameter(5, 0.3f); // 7400 Hz
    std::vector<unsigned char> bank = getChunk(*original, false);
    std::vector<float> reference = phrase(*original);
    auto values = [](vsthost::PluginInstance& fx) {
        std::vector<std::string> shown;
        for (int i = 0; i < 6; ++i)
            shown.push_back(display(fx, i) + " " + std::to_string(fx.getParameter(i)));
        return shown;
    };
    const std::vector<std::string> saved = values(*original);
    EXPECT_EQ(saved[4].substr(0, 4), "755 ");
    EXPECT_EQ(saved[5].substr(0, 5), "7400 ");

    // setChunk then setProgram with the saved number.
    auto first = newInstance();
    first->dispatch(effSetProgram, 0, 15);
    first->setParameter(0, 0.0f);
    EXPECT_EQ(setChunk(*first, bank, false), kBank);
    first->dispatch(effSetProgram, 0, 15);
    EXPECT_EQ(first->dispatch(effGetProgram), 15);
    EXPECT_EQ(values(*first), saved);
    EXPECT_LT(difference(phrase(*first), reference), 1e-6);

    // setProgram then setChunk.
    auto second = newInstance();
    second->dispatch(effSetProgram, 0, 15);
    EXPECT_EQ(setChunk(*second, bank, false), kBank);
    EXPECT_EQ(second->dispatch(effGetProgram), 15);
    EXPECT_EQ(values(*second), saved);
    EXPECT_LT(difference(phrase(*second), reference), 1e-6);

    // setChunk into a fresh instance, then setProgram.
    auto third = newInstance();
    EXPECT_EQ(setChunk(*third, bank, false), kBank);
    third->dispatch(effSetProgram, 0, 15);
    EXPECT_EQ(values(*third), saved);
    EXPECT_LT(difference(phrase(*third), reference), 1e-6);
}

TEST(Chunks, TwoInstancesRestoredFromDifferentChunksStayIndependent) {
    auto a = newInstance();
    auto b = newInstance();
    std::vector<unsigned char> bankA = getChunk(*a, false);
    std::vector<unsigned char> bankB = bankA;
    std::memcpy(&bankA[44], "Alpha", 6);
    std::memcpy(&bankB[44], "Beta", 5);
    EXPECT_EQ(setChunk(*a, bankA, false), kBank);
    EXPECT_EQ(setChunk(*b, bankB, false), kBank);
    EXPECT_EQ(a->text(effGetProgramName), "Alpha");
    EXPECT_EQ(b->text(effGetProgramName), "Beta");
    EXPECT_EQ(getChunk(*a, false), bankA);
    EXPECT_EQ(getChunk(*b, false), bankB);
}
