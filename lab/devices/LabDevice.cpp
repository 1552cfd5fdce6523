#include "lab/LabDevice.h"

#include <stdexcept>

#include "lab/devices/AcmeDevice.h"
#include "lab/devices/AsusWrtDevice.h"
#include "lab/devices/BorealisDevice.h"
#include "lab/devices/CorvidDevice.h"
#include "lab/devices/DdwrtDevice.h"
#include "lab/devices/LuciDevice.h"
#include "lab/devices/FreshTomatoDevice.h"
#include "lab/devices/MerrowinDevice.h"
#include "lab/devices/SorrelbyDevice.h"
#include "lab/devices/NoHttpDevice.h"
#include "lab/devices/PlaybackDevice.h"
#include "lab/devices/PrinterDevice.h"
#include "lab/devices/WirelessRules.h"

namespace krzlab {

namespace {

const char* const kFaultNames[] = {"none",        "down",      "refusing", "silent", "slow",
                                   "close-early", "malformed", "flood",    "reset"};

DeviceSpec withDefaults(DeviceSpec profile) {
    if (profile.model.empty()) {
        profile.model = defaultModel(profile.family);
    }
    if (profile.firmware.empty()) {
        profile.firmware = defaultFirmware(profile.family);
    }
    return profile;
}

}  // namespace

Device::~Device() = default;

std::unique_ptr<Device> Device::create(const DeviceSpec& profile) {
    if (!profile.recording.empty()) {
        return std::make_unique<PlaybackDevice>(profile);
    }
    DeviceSpec full = withDefaults(profile);
    if (full.family == "acme") {
        return std::make_unique<AcmeDevice>(full);
    }
    if (full.family == "borealis") {
        return std::make_unique<BorealisDevice>(full);
    }
    if (full.family == "corvid") {
        return std::make_unique<CorvidDevice>(full);
    }
    if (full.family == "merrowin") {
        return std::make_unique<MerrowinDevice>(full);
    }
    if (full.family == "luci") {
        return std::make_unique<LuciDevice>(full);
    }
    if (full.family == "ddwrt") {
        return std::make_unique<DdwrtDevice>(full);
    }
    if (full.family == "freshtomato") {
        return std::make_unique<FreshTomatoDevice>(full);
    }
    if (full.family == "asuswrt") {
        return std::make_unique<AsusWrtDevice>(full);
    }
    if (full.family == "sorrelby") {
        return std::make_unique<SorrelbyDevice>(full);
    }
    if (full.family == "printer") {
        return std::make_unique<PrinterDevice>(full);
    }
    if (full.family == "nohttp") {
        return std::make_unique<NoHttpDevice>(full);
    }
    throw std::invalid_argument("unknown device family: " + profile.family);
}

const char* faultName(Fault fault) {
    auto index = static_cast<std::size_t>(fault);
    return index < sizeof kFaultNames / sizeof kFaultNames[0] ? kFaultNames[index] : "none";
}

Fault faultFromName(const std::string& name) {
    for (std::size_t i = 0; i < sizeof kFaultNames / sizeof kFaultNames[0]; ++i) {
        if (name == kFaultNames[i]) {
            return static_cast<Fault>(i);
        }
    }
    throw std::invalid_argument("unknown fault: " + name);
}

bool sameStoredSettings(const DeviceSpec& a, const DeviceSpec& b) {
    return a.address == b.address && a.username == b.username && a.password == b.password &&
           a.wireless == b.wireless && a.tlsCertificate == b.tlsCertificate;
}

}  // namespace krzlab
