#include "tools/format_hosts/format_instance.h"

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
