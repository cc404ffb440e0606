#include "tools/presets/fx_container.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace fxpreset {

namespace {

constexpr char kChunkMagic[4] = {'C', 'c', 'n', 'K'};
constexpr char kProgramChunkMagic[4] = {'F', 'P', 'C', 'h'};
constexpr char kBankChunkMagic[4] = {'F', 'B', 'C', 'h'};
/// Bytes in front of byteSize's count: chunkMagic and byteSize itself.
constexpr std::size_t kLeadBytes = 8;
/// Bytes needed to tell the kind of file: up to the end of fxMagic.
constexpr std::size_t kKindBytes = offsetof(FxProgramHeader, version);
/// Length of every four-letter mark.
constexpr std::size_t kMagicBytes = sizeof kChunkMagic;
/// Largest preset file read (bytes).
constexpr std::uintmax_t kMaxFileBytes = kMaxChunkBytes + sizeof(FxBankHeader);

void put(BigEndian32& field, std::uint32_t value) {
    field[0] = static_cast<unsigned char>(value >> 24);
    field[1] = static_cast<unsigned char>(value >> 16);
    field[2] = static_cast<unsigned char>(value >> 8);
    field[3] = static_cast<unsigned char>(value);
}

std::uint32_t get(const BigEndian32& field) {
    return (std::uint32_t{field[0]} << 24) | (std::uint32_t{field[1]} << 16) |
           (std::uint32_t{field[2]} << 8) | std::uint32_t{field[3]};
}

/// Fills the fields both headers share; Header is FxProgramHeader or FxBankHeader.
template <typename Header> void fillCommon(Header& header, const FxFile& file, const char* magic) {
    std::memcpy(header.chunkMagic, kChunkMagic, kMagicBytes);
    put(header.byteSize,
        static_cast<std::uint32_t>(sizeof(Header) - kLeadBytes + file.chunk.size()));
    std::memcpy(header.fxMagic, magic, kMagicBytes);
    put(header.version, kFormatVersion);
    put(header.fxID, static_cast<std::uint32_t>(file.fxID));
    put(header.fxVersion, static_cast<std::uint32_t>(file.fxVersion));
    put(header.numPrograms, static_cast<std::uint32_t>(file.numPrograms));
    put(header.chunkSize, static_cast<std::uint32_t>(file.chunk.size()));
}

template <typename Header>
std::vector<unsigned char> withChunk(const Header& header, const FxFile& file) {
    std::vector<unsigned char> bytes(sizeof(Header) + file.chunk.size());
    std::memcpy(bytes.data(), &header, sizeof(Header));
    std::copy(file.chunk.begin(), file.chunk.end(), bytes.begin() + sizeof(Header));
    return bytes;
}

/// Reads the common fields and the chunk of a file whose header is Header.
template <typename Header>
Header readHeader(const std::vector<unsigned char>& bytes, FxFile& file) {
    if (bytes.size() < sizeof(Header))
        throw FxFileError("truncated: " + std::to_string(bytes.size()) +
                          " bytes, shorter than the " + std::to_string(sizeof(Header)) +
                          "-byte header");
    Header header;
    std::memcpy(&header, bytes.data(), sizeof(Header));
    const std::uint32_t byteSize = get(header.byteSize);
    const std::size_t following = bytes.size() - kLeadBytes;
    if (byteSize != following)
        throw FxFileError(std::string(byteSize > following ? "truncated" : "wrong size") +
                          ": its size field says " + std::to_string(byteSize) +
                          " bytes follow it, the file has " + std::to_string(following));
    if (get(header.version) != static_cast<std::uint32_t>(kFormatVersion))
        throw FxFileError("unsupported container version " + std::to_string(get(header.version)));
    const std::uint32_t chunkSize = get(header.chunkSize);
    if (chunkSize != bytes.size() - sizeof(Header))
        throw FxFileError("its chunk size " + std::to_string(chunkSize) + " does not match the " +
                          std::to_string(bytes.size() - sizeof(Header)) +
                          " bytes after the header");
    file.fxID = static_cast<std::int32_t>(get(header.fxID));
    file.fxVersion = static_cast<std::int32_t>(get(header.fxVersion));
    file.numPrograms = static_cast<std::int32_t>(get(header.numPrograms));
    file.chunk.assign(bytes.begin() + sizeof(Header), bytes.end());
    return header;
}

std::string idText(std::int32_t id) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(id));
    return text;
}

} // namespace

std::vector<unsigned char> encode(const FxFile& file) {
    if (file.kind == FxKind::Program) {
        FxProgramHeader header{};
        fillCommon(header, file, kProgramChunkMagic);
        const std::size_t nameBytes = std::min(file.programName.size(), kProgramNameBytes - 1);
        std::memcpy(header.programName, file.programName.data(), nameBytes);
        return withChunk(header, file);
    }
    FxBankHeader header{};
    fillCommon(header, file, kBankChunkMagic);
    return withChunk(header, file);
}

FxFile decode(const std::vector<unsigned char>& bytes) {
    if (bytes.size() < kKindBytes || std::memcmp(bytes.data(), kChunkMagic, kMagicBytes) != 0)
        throw FxFileError("not a VST preset file (no 'CcnK' mark at the start)");
    FxFile file;
    const unsigned char* magic = bytes.data() + offsetof(FxProgramHeader, fxMagic);
    if (std::memcmp(magic, kProgramChunkMagic, kMagicBytes) == 0) {
        file.kind = FxKind::Program;
        const FxProgramHeader header = readHeader<FxProgramHeader>(bytes, file);
        file.programName.assign(header.programName, strnlen(header.programName, kProgramNameBytes));
    } else if (std::memcmp(magic, kBankChunkMagic, kMagicBytes) == 0) {
        file.kind = FxKind::Bank;
        readHeader<FxBankHeader>(bytes, file);
    } else {
        throw FxFileError("not a program or bank stored as a chunk (expected 'FPCh' or 'FBCh')");
    }
    return file;
}

void writeFile(const std::string& path, const FxFile& file) {
    const std::vector<unsigned char> bytes = encode(file);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) throw FxFileError("cannot write preset file " + path);
}

FxFile readFile(const std::string& path, std::int32_t expectedId) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        throw FxFileError("preset file " + path + " does not exist or is not a file");
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    if (ec || size > kMaxFileBytes)
        throw FxFileError("cannot read preset file " + path + ": too large or unreadable");
    std::vector<unsigned char> bytes(static_cast<std::size_t>(size));
    std::ifstream in(path, std::ios::binary);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!in) throw FxFileError("cannot read preset file " + path);
    FxFile file;
    try {
        file = decode(bytes);
    } catch (const FxFileError& error) {
        throw FxFileError("cannot use preset file " + path + ": " + error.what());
    }
    if (file.fxID != expectedId)
        throw FxFileError("preset file " + path + " belongs to another plug-in (ID " +
                          idText(file.fxID) + ", this plug-in is " + idText(expectedId) + ")");
    return file;
}

std::vector<unsigned char> getChunk(vsthost::PluginInstance& plugin, bool program) {
    void* data = nullptr;
    const VstIntPtr size = plugin.dispatch(effGetChunk, program ? 1 : 0, 0, &data);
    if (size <= 0 || data == nullptr || static_cast<std::size_t>(size) > kMaxChunkBytes) return {};
    const auto* begin = static_cast<const unsigned char*>(data);
    return std::vector<unsigned char>(begin, begin + size);
}

void applyChunk(vsthost::PluginInstance& plugin, const FxFile& file, const std::string& path) {
    std::vector<unsigned char> chunk = file.chunk;
    const bool program = file.kind == FxKind::Program;
    const VstIntPtr accepted = plugin.dispatch(effSetChunk, program ? 1 : 0,
                                               static_cast<VstIntPtr>(chunk.size()), chunk.data());
    if (accepted == 0)
        throw FxFileError("the plug-in refused the " + std::string(program ? "program" : "bank") +
                          " in preset file " + path);
}

} // namespace fxpreset
