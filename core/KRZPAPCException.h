/// \file
/// The library's one exception type and the numeric enumerations of its interface. The numbers
/// are part of the interface with hosts and modules: they never change.
#pragma once

#include "krzcompat/krzexport.h"
#include "krzutil/KRZException.h"

#include <string>

/// What went wrong, as KRZPAPCException::getAPCErrorCode gives it. The library raises no other
/// value; where a Windows or Winsock error is the cause, KRZException::getMsError gives it.
enum KRZPAPCErrorCode {
    /// No local interface reaches the device's address with one of its MAC addresses (Windows
    /// error 10065 attached): KRZPAPConfigurator::getInterface.
    KRZPAPC_NO_ROUTE = 1,
    /// Sending or receiving failed, the socket was invalid, the device broke the connection off,
    /// or a reply crossed one of KRZPAPComm's bounds.
    KRZPAPC_IO_ERROR = 2,
    /// A socket could not be created.
    KRZPAPC_SOCKET_ERROR = 3,
    /// The TCP connection failed: refused (10061), timed out (10060), unreachable (10065).
    KRZPAPC_CONNECT_ERROR = 4,
    /// Set-up or environment: no usable address, a module library that does not load, an ARP
    /// interface not found, a character set that requirement texts cannot describe.
    KRZPAPC_INTERNAL_ERROR = 5,
    /// A web configurator has no connection to work with.
    KRZPAPC_NOT_CONNECTED = 6,
    /// Text not in the expected form: a MAC address, a page's structure, a hexadecimal escape,
    /// a reply without the text that confirms success.
    KRZPAPC_PARSE_ERROR = 7,
    /// The device answered a submitted page with status 401.
    KRZPAPC_AUTH_ERROR = 8,
    /// The caller cancelled the operation (from another thread).
    KRZPAPC_CANCELLED = 14,
    /// No complete reply within the connection's time-out.
    KRZPAPC_TIMEOUT = 15,
    /// KRZPAPScanner::runScan while another scan runs.
    KRZPAPC_SCAN_IN_PROGRESS = 17,
    /// No scanner saw any network connectivity.
    KRZPAPC_NO_CONNECTIVITY = 18
};

/// The result of KRZPAPConfigurator::validate.
enum _KRZPAPStatus {
    KRZP_AP_OK = 0,           ///< Reachable, and the login works.
    KRZP_AP_UNREACHABLE = 1,  ///< The login test failed with code 4 or 6.
    KRZP_AP_ERROR = 2,        ///< The login test failed with any other code.
    KRZP_AP_LOGIN_FAILED = 3  ///< The device refused the credentials.
};

/// The result of validating a user name, password or SSID against a device's rules.
enum _KRZPStringValidatorCode {
    KRZP_SV_OK = 0,         ///< Acceptable.
    KRZP_SV_TOO_SHORT = 1,  ///< Shorter than the device's minimum.
    KRZP_SV_TOO_LONG = 2,   ///< Longer than the device's maximum.
    KRZP_SV_BAD_CHARS = 3   ///< Holds a character outside the device's valid set.
};

/// The result of one non-blocking read step of KRZPAPComm; no other value is returned.
enum KRZPAPCReadStatus {
    KRZPAPC_READ_PENDING = 1,  ///< Not complete and nothing more to read now: call again later.
    KRZPAPC_READ_OK = 2,       ///< Complete: the line, data or reply asked for is there.
    KRZPAPC_READ_CLOSED = 4    ///< The device closed the connection.
};

/// A wireless security mode. Shared with the host and the modules; the library stores and passes
/// these on without interpreting them, and uses -1 for a mode that is still unset.
enum _KRZPSecurityMode {
    KRZP_SECURITY_UNSET = -1,       ///< Not read or set yet.
    KRZP_SECURITY_NONE = 0,         ///< Open network.
    KRZP_SECURITY_WEP = 1,          ///< WEP.
    KRZP_SECURITY_WPA_PSK = 2,      ///< WPA with a pre-shared key.
    KRZP_SECURITY_WPA2_PSK = 3,     ///< WPA2 with a pre-shared key.
    KRZP_SECURITY_WPA_WPA2_PSK = 4  ///< WPA and WPA2 both accepted.
};

/// A wireless encryption mode; like _KRZPSecurityMode, passed on uninterpreted, -1 while unset.
enum _KRZPEncryptionMode {
    KRZP_ENCRYPTION_UNSET = -1,   ///< Not read or set yet.
    KRZP_ENCRYPTION_NONE = 0,     ///< No encryption.
    KRZP_ENCRYPTION_WEP64 = 1,    ///< WEP with a 64-bit key.
    KRZP_ENCRYPTION_WEP128 = 2,   ///< WEP with a 128-bit key.
    KRZP_ENCRYPTION_TKIP = 3,     ///< TKIP.
    KRZP_ENCRYPTION_AES = 4,      ///< AES (CCMP).
    KRZP_ENCRYPTION_TKIP_AES = 5  ///< TKIP and AES both accepted.
};

/// Every failure the library reports: a KRZPAPCErrorCode, the raising unit and line, a message
/// (mostly empty: the description went to the log just before the throw), a Windows or Winsock
/// error where one is the cause (KRZException::getMsError), and the firmware revision of the
/// device in work.
///
/// Thrown by value; catch it by reference, as KRZPAPCException, KRZException or std::exception.
/// A configurator's public operation stamps its current firmware revision into every
/// KRZPAPCException that passes through it. Plain value type: copies are independent, nothing
/// is shared between threads. Modules raise it with #KRZPAPC_THROW.
class KRZPAP_API KRZPAPCException : public KRZException {
  public:
    /// \p file is the raising unit's name without extension; \p message is UTF-8 and may be
    /// empty (invalid UTF-8 is read as Latin-1).
    KRZPAPCException(char* file, int line, const std::string& message, KRZPAPCErrorCode code);
    /// Copies the base and the firmware revision.
    KRZPAPCException(const KRZPAPCException& other);
    /// Copies the base and the firmware revision.
    KRZPAPCException& operator=(const KRZPAPCException& other);
    ~KRZPAPCException() noexcept override;

    /// The code given at construction (the base's getErrorCode, typed).
    KRZPAPCErrorCode getAPCErrorCode() const;
    /// Replaces the firmware revision (the configurator frames do this).
    void setAPCFirmwareRevision(const std::string& revision);
    /// Empty until a configurator's public operation stamped it.
    std::string getAPCFirmwareRevision() const;

  private:
    std::string firmwareRevision;
};

/// Throws a KRZPAPCException from the calling line: \p unit is the unit's name as a string
/// literal, \p message UTF-8 (may be empty), \p code a KRZPAPCErrorCode. Log the failure first.
#define KRZPAPC_THROW(unit, message, code) \
    throw KRZPAPCException(const_cast<char*>(unit), __LINE__, (message), (code))
