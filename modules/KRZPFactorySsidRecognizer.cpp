#include "KRZPFactorySsidRecognizer.h"

KRZPFactorySsidRecognizer::KRZPFactorySsidRecognizer(const std::string& ssid) : factorySsid(ssid) {}

int KRZPFactorySsidRecognizer::isFactoryDefaults(boost::shared_ptr<KRZAccessPointWlanInfo> info) {
    if (!info || info->ssid.getBytes() != factorySsid)
        return 0;
    bool open = !info->privacy && info->rsnInfo.empty();
    return open ? kFactory : kSecured;
}
