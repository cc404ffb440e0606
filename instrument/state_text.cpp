#include "instrument/state_text.h"

#include "patches/patch.h"

namespace statetext {

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

/// The 6-bit value of a base64 digit; -1 for anything else.
int digitValue(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}
} // namespace

std::string encodeBase64(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::string text;
    text.reserve((size + 2) / 3 * 4);
    for (std::size_t i = 0; i < size; i += 3) {
        const std::uint32_t group = (std::uint32_t{bytes[i]} << 16) |
                                    (i + 1 < size ? std::uint32_t{bytes[i + 1]} << 8 : 0) |
                                    (i + 2 < size ? std::uint32_t{bytes[i + 2]} : 0);
        text += kAlphabet[(group >> 18) & 63];
        text += kAlphabet[(group >> 12) & 63];
        text += i + 1 < size ? kAlphabet[(group >> 6) & 63] : '=';
        text += i + 2 < size ? kAlphabet[group & 63] : '=';
    }
    return text;
}

bool decodeBase64(std::string_view text, std::vector<std::uint8_t>& bytes) {
    bytes.clear();
    bytes.reserve(text.size() / 4 * 3);
    std::uint32_t group = 0;
    int digits = 0;
    bool padded = false;
    for (char c : text) {
        if (c == ' ' || c == '\n' || c == '\r' || c == '\t') continue;
        if (c == '=') {
            padded = true;
            continue;
        }
        const int value = digitValue(c);
        if (value < 0 || padded) {
            bytes.clear();
            return false;
        }
        group = (group << 6) | static_cast<std::uint32_t>(value);
        if (++digits == 4) {
            bytes.push_back(static_cast<std::uint8_t>(group >> 16));
            bytes.push_back(static_cast<std::uint8_t>(group >> 8));
            bytes.push_back(static_cast<std::uint8_t>(group));
            group = 0;
            digits = 0;
        }
    }
    if (digits == 1) {
        bytes.clear();
        return false;
    }
    if (digits >= 2) bytes.push_back(static_cast<std::uint8_t>(group >> (digits == 2 ? 4 : 10)));
    if (digits == 3) bytes.push_back(static_cast<std::uint8_t>(group >> 2));
    return true;
}

int parseProgram(std::string_view text) {
    if (text.empty() || text.size() > 2) return -1;
    int program = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return -1;
        program = program * 10 + (c - '0');
    }
    return program < kPatchCount ? program : -1;
}

} // namespace statetext
