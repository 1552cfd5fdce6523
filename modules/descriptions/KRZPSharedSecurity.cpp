// One security mode read from two values: a device value that several modes share (an open
// system's and WEP's "open") reads as the mode that takes the encryption their common field holds.
#include "KRZPDescription.h"

#include <algorithm>

namespace krzdesc {

bool takes(_KRZPSecurityMode mode, _KRZPEncryptionMode encryption) {
    switch (mode) {
        case KRZP_SECURITY_NONE:
            return encryption == KRZP_ENCRYPTION_NONE;
        case KRZP_SECURITY_WEP:
            return encryption == KRZP_ENCRYPTION_WEP64 || encryption == KRZP_ENCRYPTION_WEP128;
        case KRZP_SECURITY_UNSET:
            return false;
        default:
            return encryption == KRZP_ENCRYPTION_TKIP || encryption == KRZP_ENCRYPTION_AES ||
                   encryption == KRZP_ENCRYPTION_TKIP_AES;
    }
}

namespace {

std::string nameOf(_KRZPSecurityMode mode) {
    for (const auto& named : securityModeNames())
        if (named.second == mode)
            return named.first;
    return std::string();
}

// What keeps `modes`, which share `value`, from being told apart; empty when nothing does.
std::string problemOf(const Description& d, const std::string& value,
                      const std::vector<_KRZPSecurityMode>& modes, std::string& mode) {
    const std::string* field = nullptr;
    for (_KRZPSecurityMode one : modes) {
        mode = nameOf(one);
        auto own = d.encryptionFields.find(one);
        if (own == d.encryptionFields.end())
            return "two modes have the device value \"" + value +
                   "\": each needs its own field in \"encryptionFields\" (the second value that "
                   "tells them apart)";
        if (field && own->second != *field)
            return "modes that share the device value \"" + value +
                   "\" must read the same field in \"encryptionFields\"";
        field = &own->second;
        for (_KRZPSecurityMode other : modes)
            for (const auto& e : encryptionModeNames())
                if (other != one && takes(one, e.second) && takes(other, e.second))
                    return "modes that take the same encryption cannot share the device value \"" +
                           value + "\"";
    }
    return std::string();
}

}  // namespace

std::string shareSecurity(Description& d, std::string& mode) {
    std::map<std::string, std::vector<_KRZPSecurityMode>> byValue;
    for (const auto& read : d.securityReads) {
        std::vector<_KRZPSecurityMode>& modes = byValue[read.first];
        if (std::find(modes.begin(), modes.end(), read.second) == modes.end())
            modes.push_back(read.second);
    }
    for (const auto& value : byValue) {
        if (value.second.size() < 2)
            continue;
        std::string problem = problemOf(d, value.first, value.second, mode);
        if (!problem.empty())
            return problem;
        d.sharedSecurity[value.first] = d.encryptionFields.at(value.second.front());
    }
    return std::string();
}

}  // namespace krzdesc
