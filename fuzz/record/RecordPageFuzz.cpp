// Arbitrary bytes as a page the recorder reads: its links, its scripts' values, its secrets and
// serial numbers and MAC addresses, then the page scrubbed of the secrets found. Nothing may crash
// or recurse; every link is a target on the device, and no secret found stays in the page as it
// stands.
#include "PageReading.h"
#include "recording/Recording.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string page(reinterpret_cast<const char*>(data), size);
    for (const std::string& link : krzpap::linksOf("/dir/page.htm", page, "10.0.0.1"))
        if (link.empty() || link[0] != '/')
            __builtin_trap();
    krzpap::ScriptValues values(page);
    values.valueOf("ssid");
    values.valueById("k");
    values.variableOf("ssid");
    krzpap::serialsOf(page);
    for (const std::string& mac : krzpap::macsOf(page))
        if (mac.size() != 17 || page.find(mac) == std::string::npos)
            __builtin_trap();
    krzpap::secretsOfTarget(page);
    krzlab::SecretScrubber scrubber;
    std::vector<std::string> secrets = krzpap::secretsOf(page);
    for (const std::string& secret : secrets)
        scrubber.add(secret, "key");
    const std::string scrubbed = scrubber.replaceIn(page);
    // A placeholder holds letters, digits and '-': a secret that starts and ends with another
    // byte cannot be rebuilt from one and its neighbours.
    const char* const kOther = "\"'<>&%\\ /;:=";
    for (const std::string& secret : secrets)
        if (std::strchr(kOther, secret.front()) && std::strchr(kOther, secret.back()) &&
            secret.find("KEY-") == std::string::npos && scrubbed.find(secret) != std::string::npos)
            __builtin_trap();
    return 0;
}
