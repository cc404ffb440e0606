// The plug-in formats the format tests load beside the VST 2.4 build, with the paths the build
// gives them (LV2 only where it is built).
#pragma once

#include "tools/format_hosts/format_instance.h"

struct FormatUnderTest {
    formathost::Format format;
    const char* path;
};

inline const FormatUnderTest kFormats[] = {
    {formathost::Format::Vst3, QUARNEL_VST3_PATH},
    {formathost::Format::Clap, QUARNEL_CLAP_PATH},
#if defined(QUARNEL_LV2_PATH)
    {formathost::Format::Lv2, QUARNEL_LV2_PATH},
#endif
};
