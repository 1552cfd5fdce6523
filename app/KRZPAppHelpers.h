/// \file
/// What a host of the application layer needs beside krzpapp::Application: the library's wide
/// text as UTF-8 and back, a device address as a user writes it, a library failure in the layer's
/// words, and the names of the security and encryption modes. krzpap uses these for its command
/// line and its page, so a host that uses them reads and words the same things the same way.
#pragma once

#include "app/KRZPApp.h"
#include "core/KRZPAPCException.h"
#include "krzcompat/krznettypes.h"

#include <string>

namespace krzpapp {

/// UTF-8 of the library's wide text (log lines, module names, settings); a character that has
/// none becomes U+FFFD.
KRZPAPP_API std::string narrow(const std::wstring& text);
/// The library's wide text of UTF-8; bytes that are no UTF-8 are read as Latin-1.
KRZPAPP_API std::wstring widen(const std::string& text);
/// \p text fit to be shown on one line of a terminal, e.g. Error::deviceWords: control characters
/// (C0, DEL and C1) written as \\n, \\t, \\r or \\xHH, everything else as it is.
KRZPAPP_API std::string escapeText(const std::string& text);

/// Takes "http://HOST[:PORT][/PATH]" or "https://..." apart: \p host, \p port (0 when the URL
/// names none), \p path ("/" when none) and whether it is \p https. False, with nothing set, for
/// text that is no such URL; throws Error (ErrorKind::BadRequest) for a port that is no number
/// from 1 to 65535.
KRZPAPP_API bool splitDeviceUrl(const std::string& text, std::string& host, int& port,
                                std::string& path, bool& https);
/// A device as a user names it: dotted IPv4, http://HOST[:PORT][/] or https://HOST[:PORT][/],
/// with \p port (0: none given). Returns the address and leaves its dotted text in \p address;
/// from then on every connection to it on port 80 goes to the port (443 for https unless one is
/// given), over TLS for https. Throws Error (ErrorKind::BadRequest, field "address") for anything
/// else, a path in the URL, or two different ports.
KRZPAPP_API in_addr takeDeviceAddress(std::string& address, int port);
/// An address as dotted IPv4 text.
KRZPAPP_API std::string dotted(const in_addr& address);

/// A library failure during \p what (a few words such as "reading the settings") as the layer's
/// Error: its kind and a sentence that names the cause (refused, no answer, time-out, credentials
/// refused, a page the module did not expect, ...). The source unit and system error number go to
/// the log at error level, not into the sentence.
KRZPAPP_API Error describeFailure(const KRZPAPCException& e, const std::string& what);

/// The name of a security mode as Settings and ConfigureRequest spell it: "none", "wep",
/// "wpa-psk", "wpa2-psk", "wpa-wpa2-psk", "unknown" when unset, "mode N" for another value.
KRZPAPP_API std::string securityModeName(_KRZPSecurityMode mode);
/// The name of an encryption mode: "none", "wep64", "wep128", "tkip", "aes", "tkip-aes",
/// "unknown" when unset, "mode N" for another value.
KRZPAPP_API std::string encryptionModeName(_KRZPEncryptionMode mode);
/// The security mode of a name that securityModeName gives; throws Error
/// (ErrorKind::BadRequest) for any other text.
KRZPAPP_API _KRZPSecurityMode securityModeFromName(const std::string& name);
/// The encryption mode of a name that encryptionModeName gives; throws Error
/// (ErrorKind::BadRequest) for any other text.
KRZPAPP_API _KRZPEncryptionMode encryptionModeFromName(const std::string& name);

}  // namespace krzpapp
