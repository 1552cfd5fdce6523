// The application layer's own pieces, shared by its units and by the project's own hosts (krzpap):
// reaching one device by address through the device service, text conversions, and how a library
// failure reads. Not installed: a host outside the project uses KRZPApp.h.
#pragma once

#include "app/AppCancel.h"
#include "app/KRZPApp.h"

#include "core/KRZPAPConfigurator.h"
#include "core/KRZPAPCException.h"
#include "service/KRZPDeviceService.h"
#include "platform/krzplatform.h"

#include <boost/shared_ptr.hpp>

#include <string>

namespace krzpap {

using krzpapp::Advice;
using krzpapp::Error;
using krzpapp::ErrorKind;

KRZPAPP_API std::string narrow(const std::wstring& text);
KRZPAPP_API std::wstring widen(const std::string& text);
// A text the user gave, fit to be echoed on one line of a terminal: control characters (C0, DEL and
// C1) written as \n, \t, \r or \xHH, everything else as it is.
KRZPAPP_API std::string escapeText(const std::string& text);

// Parses dotted IPv4 text; throws Error (bad request) for anything else.
KRZPAPP_API in_addr parseAddress(const std::string& text);
// Takes "http://HOST[:PORT][/PATH]" or "https://..." apart (port 0 when the URL names none;
// `https` says which): false for text that is no such URL (then nothing is set); throws Error (bad
// request) for a bad port.
KRZPAPP_API bool splitDeviceUrl(const std::string& text, std::string& host, int& port,
                                std::string& path, bool& https);
// The same for plain http only: throws Error (bad request) for https.
KRZPAPP_API bool splitHttpUrl(const std::string& text, std::string& host, int& port,
                              std::string& path);
// A device named by dotted IPv4, http://HOST[:PORT][/] or https://HOST[:PORT][/] with a port (0:
// not given): the address, and every later connection to it on port 80 sent to the port (443 for
// https unless one is given), over TLS for https. Throws Error (bad request) for a path in the URL
// or two different ports.
KRZPAPP_API in_addr takeDeviceAddress(std::string& address, int port);
KRZPAPP_API std::string dotted(const in_addr& address);
// Whether an adapter with this address (host order) can reach devices: not loopback, link-local,
// unset or broadcast.
bool usableAdapter(unsigned long ip);

// A MAC address as a host gives it; throws Error (bad request) for anything else, the zero MAC,
// which names no device, included.
KRZMacAddress parseMac(const std::string& text);
// The configurator that the modules' recognizers make for the device at `address` (the one with
// MAC `macText` when given). Throws Error: unreachable when nothing answers, not recognized when
// no module knows it. A cancel stops the search through `cancel`.
boost::shared_ptr<KRZPAPConfigurator> recognizeDevice(const in_addr& address,
                                                      const std::string& macText,
                                                      CancelHook& cancel);
// Carries every later connection to the address to the device with MAC `macText` (or, when empty
// and the address lies outside every usable adapter's network, to the MAC that ARP finds there).
KRZPAPP_API void carryToDevice(const in_addr& address, const std::string& macText,
                               CancelHook& cancel);
// The service's verdict as the layer's failure.
Error describeDeviceError(const KRZPDeviceError& e);

// Maps a library failure during `what` to the layer's failure.
KRZPAPP_API Error describeFailure(const KRZPAPCException& e, const std::string& what);

// What a module said when the device refused logins for now (a lockout, a captcha), as the
// module logged it, or ""; taken once.
std::string takeLoginNotice();
// The modules whose recognizer threw since the last call.
std::vector<krzpapp::RecognizerFailure> takeRecognizerFailures();

std::string securityModeName(_KRZPSecurityMode mode);
std::string encryptionModeName(_KRZPEncryptionMode mode);
KRZPAPP_API _KRZPSecurityMode securityModeFromName(const std::string& name);
KRZPAPP_API _KRZPEncryptionMode encryptionModeFromName(const std::string& name);

}  // namespace krzpap
