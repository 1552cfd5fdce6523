#include "discovery/KRZPDefaultsRecognizer.h"

#include <list>

namespace {

// Wide enough for the magnitude of INT_MIN.
long long magnitude(int verdict) {
    return verdict < 0 ? -static_cast<long long>(verdict) : verdict;
}

std::list<boost::shared_ptr<KRZPDefaultsRecognizer>>& defaultsRecognizers() {
    static std::list<boost::shared_ptr<KRZPDefaultsRecognizer>> instance;
    return instance;
}

}  // namespace

KRZPDefaultsRecognizer::KRZPDefaultsRecognizer() {}

KRZPDefaultsRecognizer::KRZPDefaultsRecognizer(const KRZPDefaultsRecognizer& other) = default;
KRZPDefaultsRecognizer& KRZPDefaultsRecognizer::operator=(const KRZPDefaultsRecognizer& other) =
    default;

KRZPDefaultsRecognizer::~KRZPDefaultsRecognizer() {}

void KRZPDefaultsRecognizer::registerDefaultsRecognizer(
    boost::shared_ptr<KRZPDefaultsRecognizer> recognizer) {
    if (recognizer) {
        defaultsRecognizers().push_back(recognizer);
    }
}

int KRZPDefaultsRecognizer::isFactoryDefaultsAccessPoint(
    boost::shared_ptr<KRZAccessPointWlanInfo> info) {
    int best = 0;
    for (const boost::shared_ptr<KRZPDefaultsRecognizer>& recognizer : defaultsRecognizers()) {
        if (!recognizer) {
            continue;
        }
        int verdict = recognizer->isFactoryDefaults(info);
        // Strictly greater: on equal strength the earlier-registered recognizer keeps its sign.
        if (magnitude(verdict) > magnitude(best)) {
            best = verdict;
        }
    }
    return best;
}
