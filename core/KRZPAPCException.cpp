#include "core/KRZPAPCException.h"

#include "krzutil/KRZMiscUtil.h"

KRZPAPCException::KRZPAPCException(char* file, int line, const std::string& message,
                                   KRZPAPCErrorCode code)
    : KRZException(file, line,
                   KRZMiscUtil::utf8StringToTstring(message, KRZ_CONVERSION_LATIN1_FALLBACK),
                   code) {}

KRZPAPCException::KRZPAPCException(const KRZPAPCException& other) = default;
KRZPAPCException& KRZPAPCException::operator=(const KRZPAPCException& other) = default;

KRZPAPCException::~KRZPAPCException() noexcept = default;

KRZPAPCErrorCode KRZPAPCException::getAPCErrorCode() const {
    return static_cast<KRZPAPCErrorCode>(getErrorCode());
}

void KRZPAPCException::setAPCFirmwareRevision(const std::string& revision) {
    firmwareRevision = revision;
}

std::string KRZPAPCException::getAPCFirmwareRevision() const {
    return firmwareRevision;
}
