// Who the instrument is, in every format: the names hosts show, the version, and the one fixed
// identifier per format. These never change: hosts find saved projects' plug-ins by them.
#pragma once

#include <cstdint>

namespace identity {

/// The effect name VST 2.4 hosts show, and the panel's title.
constexpr const char* kEffectName = "kelvar(Quarnel)";
constexpr const char* kVendor = "kel";
constexpr const char* kProduct = "Quarnel";
/// Vendor version reported to VST 2.4 hosts.
constexpr std::int32_t kVendorVersion = 201;
/// VST 2.4 unique ID 'lxfg'; also the third word of the VST3 class ID.
constexpr std::int32_t kUniqueId = 0x6C786667;

/// LV2 plug-in URI.
constexpr const char* kLv2Uri = "urn:kel:quarnel";
/// CLAP plug-in id.
constexpr const char* kClapId = "kel.quarnel";
/// The four 32-bit words of the VST3 class ID ('DPF ', 'clas', the unique ID, 0), as the
/// framework that builds the VST3 plug-in forms it.
constexpr std::uint32_t kVst3ClassId[4] = {0x44504620u, 0x636C6173u,
                                           static_cast<std::uint32_t>(kUniqueId), 0u};

/// The six parameters' names and VST 2.4 labels, in parameter order.
constexpr const char* kParameterNames[6] = {"Window",  "Modulation", "Atack",
                                            "Sustain", "HPF",        "LPF"};
constexpr const char* kParameterLabels[6] = {"[%]", "[%]", "[%]", "[%]", "[Hz]", "[Hz]"};
/// The units formats with plain values show, and the LV2 port symbols.
constexpr const char* kParameterUnits[6] = {"%", "%", "%", "%", "Hz", "Hz"};
constexpr const char* kParameterSymbols[6] = {"window",  "modulation", "atack",
                                              "sustain", "hpf",        "lpf"};

} // namespace identity
