// What the emulated radios accept as wireless settings, in the lab's own terms (WirelessSettings).
#pragma once

#include <cstddef>
#include <string>

#include "lab/LabDevice.h"
#include "lab/devices/FormCoding.h"

namespace krzlab {

// Why `settings` cannot be applied, or "" when they can: SSID 1 to 32 bytes; encryption that
// belongs to the security mode; a WEP key of 5/13 characters or 10/26 hexadecimal digits; a WPA
// passphrase of 8 to 63 printable characters or 64 hexadecimal digits. Security "none" takes an
// empty key (what was posted as key is dropped by the caller).
std::string settingsProblem(const WirelessSettings& settings);

// A family's option values for the security or encryption modes: rows of {lab name, page value}.
// translateMode() gives the other column of the row whose column `from` (0 lab, 1 page) is
// `value`, or "" when no row has it.
template <std::size_t N>
std::string translateMode(const char* const (&table)[N][2], const std::string& value, int from) {
    for (const auto& row : table) {
        if (value == row[from]) {
            return row[1 - from];
        }
    }
    return std::string();
}

// The names of a wireless form's fields.
struct WirelessFields {
    const char* ssid;
    const char* security;
    const char* encryption;
    const char* key;
};

// Reads the settings posted in a wireless form into `next` (the key is dropped for security
// "none") and returns why they cannot be applied, "" when they can; `unknownMode` when a mode
// value is not in its table.
template <std::size_t S, std::size_t E>
std::string postedWireless(const FormFields& form, const WirelessFields& fields,
                           const char* const (&security)[S][2],
                           const char* const (&encryption)[E][2], const char* unknownMode,
                           WirelessSettings& next) {
    next.ssid = formField(form, fields.ssid);
    next.security = translateMode(security, formField(form, fields.security), 1);
    next.encryption = translateMode(encryption, formField(form, fields.encryption), 1);
    next.key = next.security == "none" ? std::string() : formField(form, fields.key);
    return next.security.empty() || next.encryption.empty() ? unknownMode : settingsProblem(next);
}

// Default model and firmware of a family, for a profile that leaves them empty.
std::string defaultModel(const std::string& family);
std::string defaultFirmware(const std::string& family);

}  // namespace krzlab
