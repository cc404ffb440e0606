// The override file: eleven comma-separated lines matched with the standard scanf rules into
// the current patch, then a re-application of the patch.
#include "patches/patch_override.h"

#include "engine/synth_engine.h"
#include "patches/patch_application.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

namespace {

/// Line 1 starts with a label: everything up to the first comma among these many characters.
constexpr int kLabelSearchLength = 32;

enum class FieldType { Byte, Int32, Float };

struct Field {
    FieldType type;
    void* target;
};

Field byteField(std::int8_t& v) {
    return {FieldType::Byte, &v};
}
Field intField(std::int32_t& v) {
    return {FieldType::Int32, &v};
}
Field floatField(float& v) {
    return {FieldType::Float, &v};
}

constexpr int kMaxFieldsPerLine = 12;

struct LineFields {
    Field fields[kMaxFieldsPerLine];
    int count = 0;
    void add(Field f) { fields[count++] = f; }
};

const char* const kFormatLine1 = "%d, %d,";
const char* const kFormatLine2 = "%d, %d, %f, %d, %d";
const char* const kFormatLine3 = "%d, %d, %d,";
const char* const kFormatLine4 = "%f, %f,";
const char* const kFormatLayer = "%d, %d, %f, %f, %f, %f, %f, %f, %f, %f,";
const char* const kFormatEnvelope = "%d, %d, %d, %d, %d, %d, %d, %d, %d, %d, %d, %d,";

const char* skipSpace(const char* s) {
    while (std::isspace(static_cast<unsigned char>(*s)))
        ++s;
    return s;
}

void storeInteger(const Field& field, long long value) {
    // %d keeps the low 32 bits of what it reads; byte fields keep the low eight of those.
    const auto bits = static_cast<std::uint32_t>(static_cast<unsigned long long>(value));
    if (field.type == FieldType::Byte)
        *static_cast<std::int8_t*>(field.target) =
            static_cast<std::int8_t>(static_cast<std::uint8_t>(bits & 0xFFu));
    else if (field.type == FieldType::Int32)
        *static_cast<std::int32_t*>(field.target) = static_cast<std::int32_t>(bits);
}

/// Matches text against format the way sscanf does for the directives used here (%d, %f,
/// blanks, which match any run of white space, and literal characters), storing each value
/// into the next field as soon as it is converted. Matching stops at the first failure, so the
/// fields after it keep their values. %d and %f read what strtoll and strtof read, which makes
/// the result defined for numbers outside the int range. Returns the number of fields set.
int matchLine(const char* text, const char* format, const LineFields& line) {
    int stored = 0;
    const char* s = text;
    for (const char* f = format; *f != '\0'; ++f) {
        if (*f == '%') {
            ++f;
            if (stored >= line.count) return stored;
            s = skipSpace(s);
            char* end = nullptr;
            if (*f == 'd') {
                const long long value = std::strtoll(s, &end, 10);
                if (end == s) return stored;
                storeInteger(line.fields[stored], value);
            } else if (*f == 'f') {
                const float value = std::strtof(s, &end);
                if (end == s) return stored;
                *static_cast<float*>(line.fields[stored].target) = value;
            } else {
                return stored;
            }
            s = end;
            ++stored;
        } else if (std::isspace(static_cast<unsigned char>(*f))) {
            s = skipSpace(s);
        } else {
            if (*s != *f) return stored;
            ++s;
        }
    }
    return stored;
}

/// Where matching of line 1 starts: after the first comma among its first 32 characters, else
/// at the 33rd character (or at the end of a shorter line).
const char* skipLabel(const char* line) {
    int i = 0;
    for (; i < kLabelSearchLength && line[i] != '\0'; ++i)
        if (line[i] == ',') return line + i + 1;
    return line + i;
}

void layerFields(LineFields& line, WaveLayer& layer) {
    line.add(byteField(layer.shape));
    line.add(byteField(layer.repeats));
    line.add(floatField(layer.gain));
    for (float& p : layer.params)
        line.add(floatField(p));
}

void envelopeFields(LineFields& line, EnvelopeSpec& env) {
    line.add(byteField(env.keyCentre));
    line.add(byteField(env.keyAmount));
    line.add(byteField(env.startLevel));
    line.add(byteField(env.peakLevel));
    line.add(byteField(env.decayLevel));
    line.add(byteField(env.sustainLevel));
    line.add(byteField(env.releaseLevel));
    line.add(intField(env.attackMs));
    line.add(intField(env.holdMs));
    line.add(intField(env.decay1Ms));
    line.add(intField(env.decay2Ms));
    line.add(intField(env.releaseMs));
}

/// The format and the fields of line number index (0-based) of the record p.
const char* lineLayout(int index, Patch& p, LineFields& line) {
    switch (index) {
    case 0:
        line.add(byteField(p.window));
        line.add(byteField(p.modulation));
        return kFormatLine1;
    case 1:
        line.add(byteField(p.lfoRate));
        line.add(byteField(p.lfoDepth));
        line.add(floatField(p.sendFrequency));
        line.add(byteField(p.sendReturn));
        line.add(byteField(p.echoTime));
        return kFormatLine2;
    case 2:
        line.add(byteField(p.velocityTime));
        line.add(byteField(p.attack));
        line.add(byteField(p.sustain));
        return kFormatLine3;
    case 3:
        line.add(floatField(p.highPassHz));
        line.add(floatField(p.lowPassHz));
        return kFormatLine4;
    case 4:
    case 5:
    case 6:
        layerFields(line, p.carrierLayers[index - 4]);
        return kFormatLayer;
    case 7:
        layerFields(line, p.modulatorLayer);
        return kFormatLayer;
    default:
        envelopeFields(line, p.envelopes[index - 8]);
        return kFormatEnvelope;
    }
}

/// True when path names a regular file. Directories, devices and pipes are refused before
/// they are opened: a pipe would block the open, a device could deliver endless data.
bool isRegularFile(const char* path) {
    struct stat info;
    return stat(path, &info) == 0 && (info.st_mode & S_IFMT) == S_IFREG;
}

} // namespace

bool readOverrideText(const char* path, OverrideText& text) {
    text.count = 0;
    if (path == nullptr || *path == '\0' || !isRegularFile(path)) return false;
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr) return false;
    while (text.count < kOverrideLineCount &&
           std::fgets(text.lines[text.count], kOverrideLineLength, file) != nullptr)
        ++text.count;
    std::fclose(file);
    return true;
}

void applyOverrideText(SynthEngine& engine, const OverrideText& text, std::int32_t currentProgram) {
    if (engine.patch == nullptr) engine.patch = &engine.patches[0];
    Patch& patch = *engine.patch;
    for (int index = 0; index < text.count && index < kOverrideLineCount; ++index) {
        LineFields line;
        const char* format = lineLayout(index, patch, line);
        const char* lineText = text.lines[index];
        matchLine(index == 0 ? skipLabel(lineText) : lineText, format, line);
    }
    applyPatch(engine, kRebuildCurrentPatch, currentProgram);
}

bool loadPatchOverrideFile(SynthEngine& engine, const char* path, std::int32_t currentProgram) {
    OverrideText text;
    if (!readOverrideText(path, text)) return false;
    applyOverrideText(engine, text, currentProgram);
    return true;
}
