// Reaching one device by address through the device service, in the command line's words.
#pragma once

#include "Cli.h"

#include "core/KRZPAPConfigurator.h"
#include "core/KRZPAPCException.h"
#include "service/KRZPDeviceService.h"
#include "platform/krzplatform.h"

#include <boost/shared_ptr.hpp>

#include <atomic>
#include <functional>
#include <string>

namespace krzpap {

// Parses dotted IPv4 text; throws CommandError (usage) for anything else.
in_addr parseAddress(const std::string& text);
// Takes "http://HOST[:PORT][/PATH]" apart (port 0 when the URL names none): false for text that
// is no http URL (then nothing is set); throws CommandError (usage) for https or a bad port.
bool splitHttpUrl(const std::string& text, std::string& host, int& port, std::string& path);
// A device named as the command line allows (dotted IPv4, or http://HOST[:PORT][/]) with --port
// (0: not given): the address, and every later connection to it on port 80 sent to the port.
// Throws CommandError (usage) for a path in the URL or two different ports.
in_addr takeDeviceAddress(std::string& address, int port);
std::string dotted(const in_addr& address);
// Whether an adapter with this address (host order) can reach devices: not loopback, link-local,
// unset or broadcast.
bool usableAdapter(unsigned long ip);

// A MAC address as given on the command line; throws CommandError (usage) for anything else,
// the zero MAC, which names no device, included.
KRZMacAddress parseMac(const std::string& text);
// The configurator that the modules' recognizers make for the device at `address` (the one with
// MAC `macText` when given). Throws CommandError: unreachable when nothing answers,
// nothing-found when no module knows it. Ctrl-C stops the search through `cancel`.
boost::shared_ptr<KRZPAPConfigurator> recognizeDevice(const in_addr& address,
                                                      const std::string& macText,
                                                      CancelHook& cancel);
// Carries every later connection to the address to the device with MAC `macText` (or, when empty
// and the address lies outside every usable adapter's network, to the MAC that ARP finds there).
void carryToDevice(const in_addr& address, const std::string& macText, CancelHook& cancel);
// The service's verdict as the command's failure.
CommandError describeDeviceError(const KRZPDeviceError& e);

// Maps a library failure to the command's exit code and a sentence for the user.
CommandError describeFailure(const KRZPAPCException& e, const std::string& what);

std::string securityModeName(_KRZPSecurityMode mode);
std::string encryptionModeName(_KRZPEncryptionMode mode);
_KRZPSecurityMode securityModeFromName(const std::string& name);
_KRZPEncryptionMode encryptionModeFromName(const std::string& name);

}  // namespace krzpap
