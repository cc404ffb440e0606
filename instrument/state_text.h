// The instrument's state as text, for formats whose hosts store plug-in state as strings
// (LV2, and the framework's VST3 and CLAP state): the bank chunk bytes in base64 (RFC 4648,
// the alphabet A-Z a-z 0-9 + /, '=' padding) under the key "bank", and the current program as
// a decimal number under the key "program". The bytes are exactly the VST 2.4 bank chunk's, so
// a project saved in one format restores the same sound in any other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace statetext {

constexpr const char* kBankKey = "bank";
constexpr const char* kProgramKey = "program";

/// size bytes at data as base64 text.
std::string encodeBase64(const void* data, std::size_t size);
/// Decodes base64 text (whitespace is skipped; '=' padding optional). False, with bytes
/// emptied, when text holds anything else.
bool decodeBase64(std::string_view text, std::vector<std::uint8_t>& bytes);
/// A program number 0..63 from decimal text; -1 when text is anything else.
int parseProgram(std::string_view text);

} // namespace statetext
