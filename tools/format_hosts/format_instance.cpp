#include "tools/format_hosts/format_instance.h"

#include "instrument/identity.h"
#include "tools/vst_host/plugin_host.h"

#include <algorithm>
#include <cctype>

namespace formathost {

std::unique_ptr<Instance> openVst2Instance(const std::string& path, std::string& error);
std::unique_ptr<Instance> openVst3Instance(const std::string& bundlePath, std::string& error);
std::unique_ptr<Instance> openClapInstance(const std::string& path, std::string& error);
#if defined(QUARNEL_FORMAT_HOSTS_LV2)
std::unique_ptr<Instance> openLv2Instance(const std::string& bundlePath, std::string& error);
#endif

const char* formatName(Format format) {
    switch (format) {
    case Format::Vst2:
        return "vst2";
    case Format::Vst3:
        return "vst3";
    case Format::Clap:
        return "clap";
    case Format::Lv2:
        return "lv2";
    }
    return "?";
}

Format formatForPath(const std::string& path) {
    std::string name = path;
    while (name.size() > 1 && (name.back() == '/' || name.back() == '\\'))
        name.pop_back();
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (name.ends_with(".vst3")) return Format::Vst3;
    if (name.ends_with(".clap")) return Format::Clap;
    if (name.ends_with(".lv2")) return Format::Lv2;
    return Format::Vst2;
}

bool formatFromName(const std::string& name, Format& format) {
    for (Format candidate : {Format::Vst2, Format::Vst3, Format::Clap, Format::Lv2}) {
        if (name == formatName(candidate)) {
            format = candidate;
            return true;
        }
    }
    return false;
}

bool Instance::loadProgram(const std::vector<std::uint8_t>& record) {
    if (record.size() < kProgramRecordBytes) {
        lastError = "a program record is " + std::to_string(kProgramRecordBytes) +
                    " bytes, this one only " + std::to_string(record.size());
        return false;
    }
    int program = 0;
    std::vector<std::uint8_t> bank = saveBank(program);
    const std::size_t at = static_cast<std::size_t>(program) * kProgramRecordBytes;
    if (bank.empty() || program < 0 || at + kProgramRecordBytes > bank.size()) {
        if (lastError.empty()) lastError = "the plug-in's bank could not be read";
        return false;
    }
    std::copy(record.begin(), record.begin() + kProgramRecordBytes,
              bank.begin() + static_cast<std::ptrdiff_t>(at));
    return loadBank(bank, program);
}

bool Instance::openPanel(std::uintptr_t) {
    lastError = "this host opens no panel of this format";
    return false;
}

std::vector<PanelEdit> Instance::takePanelEdits() {
    std::vector<PanelEdit> taken(panelEdits);
    panelEdits.clear();
    return taken;
}

std::int32_t Instance::presetId() {
    return identity::kUniqueId;
}

void Instance::measureProcessing() {
    clockPairCost = vsthost::clockPairNanoseconds();
    measuring = true;
}

std::int64_t Instance::processingNanoseconds() const {
    return std::max<std::int64_t>(0, processingTime - processCalls * clockPairCost);
}

std::int64_t Instance::threadCpuNanoseconds() {
    return vsthost::threadCpuNanoseconds();
}

std::unique_ptr<Instance> openInstance(Format format, const std::string& path, std::string& error) {
    switch (format) {
    case Format::Vst2:
        return openVst2Instance(path, error);
    case Format::Vst3:
        return openVst3Instance(path, error);
    case Format::Clap:
        return openClapInstance(path, error);
    case Format::Lv2:
#if defined(QUARNEL_FORMAT_HOSTS_LV2)
        return openLv2Instance(path, error);
#else
        error = "LV2 is hosted on Linux only";
        return nullptr;
#endif
    }
    error = "unknown format";
    return nullptr;
}

} // namespace formathost
