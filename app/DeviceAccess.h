// The application layer's own pieces, shared by its units: reaching one device by address through
// the device service, and the helpers of KRZPAppHelpers.h by their short names. Not installed: a
// host uses KRZPApp.h and KRZPAppHelpers.h.
#pragma once

#include "app/AppCancel.h"
#include "app/KRZPApp.h"
#include "app/KRZPAppHelpers.h"

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

using krzpapp::describeFailure;
using krzpapp::dotted;
using krzpapp::encryptionModeFromName;
using krzpapp::encryptionModeName;
using krzpapp::escapeText;
using krzpapp::narrow;
using krzpapp::securityModeFromName;
using krzpapp::securityModeName;
using krzpapp::splitDeviceUrl;
using krzpapp::takeDeviceAddress;
using krzpapp::widen;

// Parses dotted IPv4 text; throws Error (bad request) for anything else.
in_addr parseAddress(const std::string& text);
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
void carryToDevice(const in_addr& address, const std::string& macText, CancelHook& cancel);
// The service's verdict as the layer's failure.
Error describeDeviceError(const KRZPDeviceError& e);

// What a module said when the device refused logins for now (a lockout, a captcha), as the
// module logged it, or ""; taken once.
std::string takeLoginNotice();
// The modules whose recognizer threw since the last call.
std::vector<krzpapp::RecognizerFailure> takeRecognizerFailures();

}  // namespace krzpap
