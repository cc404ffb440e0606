// The standalone program: the framework's JACK client around the instrument, with a few
// options of its own read before the framework's main takes over.
//
//   quarnel [--server NAME] [--help] [--version]
#include <cstdio>
#include <cstdlib>
#include <cstring>

// The framework's own main becomes a function this file calls.
#define main frameworkMain
#include <DistrhoPluginMain.cpp>
#undef main

namespace {
void printUsage(std::FILE* to) {
    std::fputs("Usage: quarnel [--server NAME] [--help] [--version]\n"
               "Plays the Quarnel synthesizer as a JACK client named \"Quarnel\": one MIDI input,\n"
               "two audio outputs (connect them with your patchbay). A JACK server must be\n"
               "running; quarnel ends with Ctrl-C.\n"
               "  --server NAME  the JACK server to join (default: the default server)\n"
               "  --help         this text\n"
               "  --version      the version\n",
               to);
}
} // namespace

int main(int argc, char* argv[]) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            printUsage(stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("quarnel %s\n", QUARNEL_VERSION);
            return 0;
        }
        if (std::strcmp(argv[i], "--server") == 0 && i + 1 < argc) {
            // libjack joins the server this names.
            setenv("JACK_DEFAULT_SERVER", argv[++i], 1);
            continue;
        }
        std::fprintf(stderr, "quarnel: unknown option %s\n", argv[i]);
        printUsage(stderr);
        return 2;
    }
    char* frameworkArguments[] = {argv[0], nullptr};
    return frameworkMain(1, frameworkArguments);
}
