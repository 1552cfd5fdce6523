// The library's one exception type and the numeric enumerations of its interface.
#pragma once

#include "krzcompat/krzexport.h"
#include "krzutil/KRZException.h"

#include <string>

enum KRZPAPCErrorCode {
    KRZPAPC_NO_ROUTE = 1,
    KRZPAPC_IO_ERROR = 2,
    KRZPAPC_SOCKET_ERROR = 3,
    KRZPAPC_CONNECT_ERROR = 4,
    KRZPAPC_INTERNAL_ERROR = 5,
    KRZPAPC_NOT_CONNECTED = 6,
    KRZPAPC_PARSE_ERROR = 7,
    KRZPAPC_AUTH_ERROR = 8,
    KRZPAPC_CANCELLED = 14,
    KRZPAPC_TIMEOUT = 15,
    KRZPAPC_SCAN_IN_PROGRESS = 17,
    KRZPAPC_NO_CONNECTIVITY = 18
};

enum _KRZPAPStatus {
    KRZP_AP_OK = 0,
    KRZP_AP_UNREACHABLE = 1,
    KRZP_AP_ERROR = 2,
    KRZP_AP_LOGIN_FAILED = 3
};

enum _KRZPStringValidatorCode {
    KRZP_SV_OK = 0,
    KRZP_SV_TOO_SHORT = 1,
    KRZP_SV_TOO_LONG = 2,
    KRZP_SV_BAD_CHARS = 3
};

enum KRZPAPCReadStatus { KRZPAPC_READ_PENDING = 1, KRZPAPC_READ_OK = 2, KRZPAPC_READ_CLOSED = 4 };

// Shared with the host and the modules; the library stores and passes these on, and uses -1 for a
// mode that is still unset.
enum _KRZPSecurityMode {
    KRZP_SECURITY_UNSET = -1,
    KRZP_SECURITY_NONE = 0,
    KRZP_SECURITY_WEP = 1,
    KRZP_SECURITY_WPA_PSK = 2,
    KRZP_SECURITY_WPA2_PSK = 3,
    KRZP_SECURITY_WPA_WPA2_PSK = 4
};

enum _KRZPEncryptionMode {
    KRZP_ENCRYPTION_UNSET = -1,
    KRZP_ENCRYPTION_NONE = 0,
    KRZP_ENCRYPTION_WEP64 = 1,
    KRZP_ENCRYPTION_WEP128 = 2,
    KRZP_ENCRYPTION_TKIP = 3,
    KRZP_ENCRYPTION_AES = 4,
    KRZP_ENCRYPTION_TKIP_AES = 5
};

class KRZPAP_API KRZPAPCException : public KRZException {
  public:
    // `file` is the raising unit's name without extension; `message` is UTF-8 (may be empty).
    KRZPAPCException(char* file, int line, const std::string& message, KRZPAPCErrorCode code);
    KRZPAPCException(const KRZPAPCException& other);
    KRZPAPCException& operator=(const KRZPAPCException& other);
    ~KRZPAPCException() noexcept override;

    KRZPAPCErrorCode getAPCErrorCode() const;
    void setAPCFirmwareRevision(const std::string& revision);
    std::string getAPCFirmwareRevision() const;

  private:
    std::string firmwareRevision;
};

// Throws a KRZPAPCException from the calling unit; `unit` is a string literal.
#define KRZPAPC_THROW(unit, message, code) \
    throw KRZPAPCException(const_cast<char*>(unit), __LINE__, (message), (code))
