#include "krzutil/KRZException.h"

#include "krzutil/KRZMiscUtil.h"

KRZException::KRZException(const char* file, int line, const std::wstring& msg, int code)
    : file_(file ? file : ""), line_(line), message_(msg), code_(code), msError_(0) {
    what_ = KRZMiscUtil::tstringToUtf8String(getLogLine(), KRZ_CONVERSION_REPLACE);
}

KRZException::KRZException(const KRZException& other) = default;
KRZException& KRZException::operator=(const KRZException& other) = default;
KRZException::~KRZException() noexcept = default;

int KRZException::getErrorCode() const {
    return code_;
}
const std::wstring& KRZException::getMessage() const {
    return message_;
}
const std::string& KRZException::getSourceFile() const {
    return file_;
}
int KRZException::getLine() const {
    return line_;
}

std::wstring KRZException::getLogLine() const {
    std::wstring line = KRZMiscUtil::formatString(L"KRZException: code %d at %hs line %d", code_,
                                                  file_.c_str(), line_);
    if (msError_ != 0) {
        line += KRZMiscUtil::formatString(L", Windows error %u", msError_);
    }
    if (!message_.empty()) {
        line += L": ";
        line += message_;
    }
    return line;
}

void KRZException::setMsError(unsigned int error) {
    msError_ = error;
    what_ = KRZMiscUtil::tstringToUtf8String(getLogLine(), KRZ_CONVERSION_REPLACE);
}

unsigned int KRZException::getMsError() const {
    return msError_;
}

const char* KRZException::what() const noexcept {
    return what_.c_str();
}
