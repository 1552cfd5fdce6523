/// \file
/// A recognizer looks at one device's reply to the HTTP probe of "/" and, when it knows the
/// model, builds the configurator for it.
#pragma once

#include "core/KRZPAPConfigurator.h"
#include "krzcompat/krzexport.h"
#include "krzcompat/krznettypes.h"
#include "krzutil/KRZMacAddress.h"

#include <boost/shared_ptr.hpp>

#include <string>

/// A module's recognizer of device models from the reply to the scan's probe of "/".
/// Registered with KRZPHttpScanner::registerHttpRecognizer and a priority: recognizers are asked
/// in ascending priority, and the first that returns a configurator wins (the shipped sample
/// module uses 100, 200 and 300; a recognizer that makes requests of its own should take a larger
/// number than the cheap ones).
///
/// - Ownership: the registry shares ownership (boost::shared_ptr) for the life of the library;
///   the configurator returned belongs to the scan (and then to the host).
/// - Threads: recognize runs on the scanning thread, one reply at a time; a recognizer may
///   also serve KRZPHttpScanner::scanForThisAP on another thread.
/// - Throws: recognize should not throw. What it throws (but a KRZPAPCException with code 14) is
///   logged naming the module that registered it, and the reply goes to the next recognizer;
///   KRZPHttpScanner::takeRecognizerFailures tells the host. Catch what urlHash throws.
/// - Time-outs: urlHash waits for its reply up to the connection's time-out (10 seconds); while
///   it waits, the scan's other probes wait too.
class KRZPAP_API KRZPHttpRecognizer {
  public:
    /// The base has no state.
    KRZPHttpRecognizer();
    /// Trivial: the base has no state.
    KRZPHttpRecognizer(const KRZPHttpRecognizer& other);
    /// Trivial: the base has no state.
    KRZPHttpRecognizer& operator=(const KRZPHttpRecognizer& other);
    virtual ~KRZPHttpRecognizer();

    /// The new configurator when the recognizer claims the reply, null otherwise. \p headers is
    /// the status line and headers as received, \p body the body without chunked coding, \p mac
    /// the MAC that answered ARP at \p address.
    virtual boost::shared_ptr<KRZPAPConfigurator> recognize(const in_addr& address,
                                                            const std::string& headers,
                                                            const std::string& body,
                                                            const KRZMacAddress& mac) = 0;

    /// Fetches \p path from the device (port 80, waiting) and returns the 32 lower-case
    /// hexadecimal digits of the MD5 digest of the reply's body when the header text contains
    /// "200 "; empty text otherwise. Transport errors are thrown.
    ///
    /// For module authors: the digest covers the body only, exactly as getResponseBody() gives it
    /// (after removing chunked coding; no header bytes, so a Date or cookie header does not change
    /// it). To compute the expected value for a model, hash the page's body bytes as served.
    static std::string urlHash(const in_addr& address, const std::string& path);
};
