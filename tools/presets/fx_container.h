// Preset files in the standard VST 2 container: .fxp (one program) and .fxb (a bank), each
// carrying the plug-in's opaque chunk. Every integer in the files is big-endian.
#pragma once

#include "tools/vst_host/plugin_host.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace fxpreset {

/// A preset file that cannot be used; what() says why in the tool's words.
class FxFileError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

/// A 32-bit big-endian integer as it lies in the file.
using BigEndian32 = unsigned char[4];

/// Length of a program name in an .fxp file (zero-padded, bytes).
constexpr std::size_t kProgramNameBytes = 28;
/// Reserved bytes of an .fxb header (zero; the first four may hold the current program).
constexpr std::size_t kBankReservedBytes = 128;
/// The container's format version written and read.
constexpr std::int32_t kFormatVersion = 1;
/// Largest chunk accepted from a file (bytes).
constexpr std::size_t kMaxChunkBytes = 64u << 20;

/// Header of an .fxp file holding an opaque chunk ('CcnK' ... 'FPCh'); the chunk follows.
struct FxProgramHeader {
    char chunkMagic[4];
    BigEndian32 byteSize; ///< bytes after this field, chunk included
    char fxMagic[4];
    BigEndian32 version;
    BigEndian32 fxID;
    BigEndian32 fxVersion;
    BigEndian32 numPrograms;
    char programName[kProgramNameBytes];
    BigEndian32 chunkSize;
};
static_assert(sizeof(FxProgramHeader) == 60);
static_assert(offsetof(FxProgramHeader, byteSize) == 4);
static_assert(offsetof(FxProgramHeader, fxMagic) == 8);
static_assert(offsetof(FxProgramHeader, version) == 12);
static_assert(offsetof(FxProgramHeader, fxID) == 16);
static_assert(offsetof(FxProgramHeader, fxVersion) == 20);
static_assert(offsetof(FxProgramHeader, numPrograms) == 24);
static_assert(offsetof(FxProgramHeader, programName) == 28);
static_assert(offsetof(FxProgramHeader, chunkSize) == 56);

/// Header of an .fxb file holding an opaque chunk ('CcnK' ... 'FBCh'); the chunk follows.
struct FxBankHeader {
    char chunkMagic[4];
    BigEndian32 byteSize; ///< bytes after this field, chunk included
    char fxMagic[4];
    BigEndian32 version;
    BigEndian32 fxID;
    BigEndian32 fxVersion;
    BigEndian32 numPrograms;
    unsigned char reserved[kBankReservedBytes];
    BigEndian32 chunkSize;
};
static_assert(sizeof(FxBankHeader) == 160);
static_assert(offsetof(FxBankHeader, byteSize) == 4);
static_assert(offsetof(FxBankHeader, fxMagic) == 8);
static_assert(offsetof(FxBankHeader, version) == 12);
static_assert(offsetof(FxBankHeader, fxID) == 16);
static_assert(offsetof(FxBankHeader, fxVersion) == 20);
static_assert(offsetof(FxBankHeader, numPrograms) == 24);
static_assert(offsetof(FxBankHeader, reserved) == 28);
static_assert(offsetof(FxBankHeader, chunkSize) == 156);

enum class FxKind { Program, Bank };

/// The contents of a preset file.
struct FxFile {
    FxKind kind = FxKind::Program;
    std::int32_t fxID = 0;
    std::int32_t fxVersion = 0;
    std::int32_t numPrograms = 0;
    /// Program name (.fxp only; at most kProgramNameBytes - 1 bytes are kept).
    std::string programName;
    std::vector<unsigned char> chunk;
};

/// The file's bytes.
std::vector<unsigned char> encode(const FxFile& file);
/// Parses bytes; throws FxFileError for anything malformed.
FxFile decode(const std::vector<unsigned char>& bytes);

/// Writes file to path; throws FxFileError when it cannot.
void writeFile(const std::string& path, const FxFile& file);
/// Reads path and checks that it belongs to the plug-in with uniqueID expectedId; throws
/// FxFileError for a missing, malformed or foreign file (the message names path).
FxFile readFile(const std::string& path, std::int32_t expectedId);

/// The plug-in's chunk: the bank (program false) or its current program (effGetChunk).
std::vector<unsigned char> getChunk(vsthost::PluginInstance& plugin, bool program);
/// Hands file's chunk to the plug-in (effSetChunk, index 1 for a program into the current
/// slot); throws FxFileError when the plug-in refuses it.
void applyChunk(vsthost::PluginInstance& plugin, const FxFile& file, const std::string& path);

} // namespace fxpreset
