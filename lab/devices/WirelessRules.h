// What the emulated radios accept as wireless settings, in the lab's own terms (WirelessSettings).
#pragma once

#include <string>

#include "lab/LabDevice.h"

namespace krzlab {

// Why `settings` cannot be applied, or "" when they can: SSID 1 to 32 bytes; encryption that
// belongs to the security mode; a WEP key of 5/13 characters or 10/26 hexadecimal digits; a WPA
// passphrase of 8 to 63 printable characters or 64 hexadecimal digits. Security "none" takes an
// empty key (what was posted as key is dropped by the caller).
std::string settingsProblem(const WirelessSettings& settings);

// Default model and firmware of a family, for a spec that leaves them empty.
std::string defaultModel(const std::string& family);
std::string defaultFirmware(const std::string& family);

}  // namespace krzlab
