// Writes the LV2 bundle's presets.ttl: one preset per built-in program, named as the program,
// that selects its slot (the "program" state) and sets the six control ports to its values.
// It replaces the framework's own preset file, whose presets carry the whole bank each (1.3 MB
// for the bank; loading one would also put back every other slot) and whose writer looks up
// state hints with the program's index instead of the state's.
//
// Usage: quarnel_lv2_presets <presets.ttl to write>
#include "instrument/identity.h"
#include "instrument/instrument.h"
#include "instrument/state_text.h"
#include "patches/patch_bank.h"

#include <cstdio>
#include <fstream>
#include <string>

namespace {
/// The framework's prefix for state keys hosts do not read.
constexpr const char* kStatePrefix = "urn:distrho:";

/// A program name as a Turtle string literal's content.
std::string escaped(const char* text) {
    std::string out;
    for (const char* c = text; *c; ++c) {
        if (*c == '"' || *c == '\\') out += '\\';
        out += *c;
    }
    return out;
}
} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <presets.ttl>\n", argv[0]);
        return 2;
    }
    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    if (!out) {
        std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[1]);
        return 1;
    }
    out << "@prefix lv2:   <http://lv2plug.in/ns/lv2core#> .\n"
           "@prefix pset:  <http://lv2plug.in/ns/ext/presets#> .\n"
           "@prefix owl:   <http://www.w3.org/2002/07/owl#> .\n"
           "@prefix rdfs:  <http://www.w3.org/2000/01/rdf-schema#> .\n"
           "@prefix state: <http://lv2plug.in/ns/ext/state#> .\n"
           "@prefix xsd:   <http://www.w3.org/2001/XMLSchema#> .\n\n";
    for (const char* key : {statetext::kBankKey, statetext::kProgramKey})
        out << "<" << kStatePrefix << key
            << ">\n    a owl:DatatypeProperty ;\n"
               "    rdfs:label \"Plugin state key-value string pair\" ;\n"
               "    rdfs:domain state:State ;\n    rdfs:range xsd:string .\n\n";

    Instrument instrument;
    for (int program = 0; program < kBuiltInProgramCount; ++program) {
        instrument.selectProgram(program);
        char name[kProgramNameSize];
        instrument.programName(program, name);
        char number[8];
        std::snprintf(number, sizeof number, "%03d", program + 1);
        out << "<" << identity::kLv2Uri << "#preset" << number << ">\n"
            << "    a pset:Preset ;\n"
            << "    lv2:appliesTo <" << identity::kLv2Uri << "> ;\n"
            << "    rdfs:label \"" << escaped(name) << "\" ;\n"
            << "    state:state [\n        <" << kStatePrefix << statetext::kProgramKey << "> \""
            << program << "\"\n    ] ;\n";
        for (int index = 0; index < kParameterCount; ++index) {
            out << (index == 0 ? "    lv2:port [\n" : "    [\n") << "        lv2:symbol \""
                << identity::kParameterSymbols[index] << "\" ;\n"
                << "        pset:value " << static_cast<long>(instrument.plainParameter(index))
                << "\n    ]" << (index + 1 == kParameterCount ? " .\n\n" : " ,\n");
        }
    }
    return out ? 0 : 1;
}
