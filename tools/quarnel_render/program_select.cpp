#include "tools/quarnel_render/program_select.h"

#include <algorithm>
#include <cctype>

namespace quarnel_render {

namespace {

std::string_view trim(std::string_view text) {
    const auto isSpace = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    while (!text.empty() && isSpace(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back()))
        text.remove_suffix(1);
    return text;
}

bool equalIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

bool isNumber(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c)) != 0;
    });
}

std::string rangeText(std::size_t count) {
    return count == 0 ? std::string("none") : "0.." + std::to_string(count - 1);
}

} // namespace

ProgramChoice resolveProgram(std::string_view request, const std::vector<std::string>& names) {
    const std::string_view wanted = trim(request);
    ProgramChoice choice;
    if (isNumber(wanted)) {
        // Leading zeros are allowed; more digits than any slot count can have are out of range.
        const std::string_view digits =
            wanted.substr(std::min(wanted.find_first_not_of('0'), wanted.size() - 1));
        const std::size_t number =
            digits.size() > 9 ? names.size() : std::stoul(std::string(digits));
        if (number < names.size()) {
            choice.index = static_cast<int>(number);
        } else {
            choice.error = "program " + std::string(wanted) + " is out of range (" +
                           rangeText(names.size()) + ")";
        }
        return choice;
    }

    for (std::size_t i = 0; i < names.size(); ++i) {
        if (!wanted.empty() && equalIgnoringCase(trim(names[i]), wanted)) {
            choice.index = static_cast<int>(i);
            return choice;
        }
    }
    choice.error = "unknown program \"" + std::string(wanted) + "\"; available programs:";
    bool any = false;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (trim(names[i]).empty()) continue;
        choice.error += "\n  " + std::to_string(i) + "  " + names[i];
        any = true;
    }
    if (!any) choice.error += " none (the plug-in reports no program names)";
    return choice;
}

} // namespace quarnel_render
