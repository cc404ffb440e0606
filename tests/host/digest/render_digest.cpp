// Prints a fingerprint of the plug-in's output for every built-in program at 44.1, 48 and
// 96 kHz in blocks of 1, 17, 512 and 4096 frames: one line each, with a 64-bit FNV-1a hash of
// the left and of the right output's bits over the identity phrase (tests/support). Built for Linux
// and for Windows from this one source; the two binaries' lists must be identical
// (tests/binaries_identical_test.sh).
//
// Usage: quarnel_render_digest PLUGIN
#include "tests/support/identity_phrase.h"
#include "tools/vst_host/plugin_host.h"

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <vector>

namespace {

constexpr int kBuiltInPrograms = 46;

using phrase::kPhrase;
using phrase::kPhraseSeconds;

struct Hash {
    std::uint64_t value = 0xcbf29ce484222325ull;
    void add(const std::vector<float>& samples) {
        for (float sample : samples) {
            std::uint32_t bits;
            std::memcpy(&bits, &sample, sizeof bits);
            for (int byte = 0; byte < 4; ++byte) {
                value ^= (bits >> (8 * byte)) & 0xFF;
                value *= 0x100000001b3ull;
            }
        }
    }
};

bool digest(const vsthost::PluginLibrary& library, int program, float rate, int block) {
    vsthost::PluginInstance instance(library);
    if (!instance.valid()) return false;
    instance.start(rate, block);
    instance.dispatch(effSetProgram, 0, program);
    const auto frames = static_cast<std::int32_t>(kPhraseSeconds * rate);
    Hash left, right;
    std::vector<float> l, r;
    std::size_t next = 0;
    for (std::int32_t start = 0; start < frames; start += block) {
        const std::int32_t length = std::min(block, frames - start);
        std::vector<vsthost::MidiMessage> events;
        for (; next < std::size(kPhrase); ++next) {
            const auto at = static_cast<std::int32_t>(kPhrase[next].seconds * rate);
            if (at >= start + length) break;
            events.push_back(
                {at - start, kPhrase[next].status, kPhrase[next].data1, kPhrase[next].data2});
        }
        if (!events.empty()) instance.sendMidi(events);
        instance.render(length, l, r);
        left.add(l);
        right.add(r);
    }
    std::printf("program %2d, %6.0f Hz, blocks of %4d: %016" PRIx64 " %016" PRIx64 "\n", program,
                static_cast<double>(rate), block, left.value, right.value);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: quarnel_render_digest PLUGIN\n");
        return 2;
    }
    vsthost::PluginLibrary library(argv[1]);
    if (!library.loaded()) {
        std::fprintf(stderr, "cannot load %s: %s\n", argv[1], library.error().c_str());
        return 1;
    }
    for (float rate : {44100.0f, 48000.0f, 96000.0f})
        for (int block : {1, 17, 512, 4096})
            for (int program = 0; program < kBuiltInPrograms; ++program)
                if (!digest(library, program, rate, block)) return 1;
    return 0;
}
