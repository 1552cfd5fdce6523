/// \file
/// Trust on first use for devices reached over HTTPS. Routers sign their own certificates, which
/// name no host anyone trusts, so the trust is the certificate itself: the first one a device
/// shows is pinned (its SHA-256 and when it was first seen), and a later different one is refused
/// before anything is sent, with a sentence that shows both fingerprints and how to accept the new
/// one. krzpap keeps its store in its state folder; a host may keep its own anywhere.
///
/// A host wires it under every HTTPS connection of the library with
/// KRZPAPComm::setHostCertificateCheck:
/// \code
/// krzpapp::TlsTrust trust(path);
/// KRZPAPComm::setHostCertificateCheck(
///     [&](const in_addr& address, unsigned short port, const std::vector<unsigned char>& der) {
///         trust.check(krzpapp::TlsTrust::keyFor(address, port), krzpapp::dotted(address), der);
///     });
/// \endcode
#pragma once

#include "app/KRZPApp.h"
#include "krzcompat/krznettypes.h"

#include <string>
#include <vector>

namespace krzpapp {

/// A store of pinned device certificates: a JSON file the user alone may read, written whole
/// through a rename. A store that cannot be read is an error, never "trust everything". Several
/// objects, on any threads, may share one file: each call reads and writes it under one lock.
class KRZPAPP_API TlsTrust {
  public:
    /// The store in the file at \p path (created at the first pin; its folder must exist).
    explicit TlsTrust(std::string path);

    /// The SHA-256 of a certificate (DER) as upper-case hex pairs joined by ':' (95 characters).
    static std::string fingerprint(const std::vector<unsigned char>& der);
    /// How the store knows the device at \p address and \p port: "mac 02:00:5e:10:00:01" when the
    /// connection is carried to a MAC (a device keeps its MAC when its address changes), else
    /// "ADDRESS:PORT".
    static std::string keyFor(const in_addr& address, unsigned short port);

    /// Pins a first certificate for \p key and takes the pinned one again. Throws
    /// KRZPAPCException (KRZPAPC_CONNECT_ERROR) for another certificate, naming the device as
    /// \p shown and both fingerprints and ending "accept the new certificate" (for the host to
    /// say how: pin()), or for a store that cannot be read or written (pinned() is then "").
    void check(const std::string& key, const std::string& shown,
               const std::vector<unsigned char>& der);
    /// Pins \p der for \p key whatever was pinned before (the user accepted it); returns the
    /// fingerprint it replaced, empty when none. Throws as check() for a store it cannot use.
    std::string pin(const std::string& key, const std::vector<unsigned char>& der);
    /// The fingerprint pinned for \p key, or "" (none, or a store that cannot be read).
    std::string pinned(const std::string& key) const;

  private:
    std::string path_;
};

}  // namespace krzpapp
