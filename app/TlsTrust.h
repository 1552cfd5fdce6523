// Trust on first use for devices reached over HTTPS: the first certificate a device shows is
// pinned (its SHA-256 and when it was first seen), and a later different one is refused before
// anything is sent, with a sentence that shows both fingerprints and how to accept the new one.
//
// A device is keyed by its MAC when the connection is carried to one ("mac 02:00:5e:10:00:01"),
// else by address and port ("127.0.0.1:8443"). The store is a JSON file the user alone may read
// (written whole through a rename); a store that cannot be read is an error, never "trust all".
#pragma once

#include "app/KRZPApp.h"
#include "platform/krzplatform.h"

#include <mutex>
#include <string>
#include <vector>

namespace krzpap {

class KRZPAPP_API TlsTrust {
  public:
    explicit TlsTrust(std::string path);

    // The SHA-256 of a certificate as upper-case hex pairs joined by ':'.
    static std::string fingerprint(const std::vector<unsigned char>& der);
    // How a device at this address and port is known to the store.
    static std::string keyFor(const in_addr& address, unsigned short port);

    // Pins a first certificate, takes the pinned one, and throws KRZPAPCException (connect
    // error) for another one or a store that cannot be read or written; `shown` is the
    // address as the user gives it to `krzpap trust`.
    void check(const std::string& key, const std::string& shown,
               const std::vector<unsigned char>& der);
    // Pins `der` for the key whatever was pinned before; returns the fingerprint it replaced
    // (empty when none).
    std::string pin(const std::string& key, const std::vector<unsigned char>& der);
    // The fingerprint pinned for the key, or "" (none, or a store that cannot be read).
    std::string pinned(const std::string& key);

  private:
    std::string path_;
    std::mutex mutex_;
};

}  // namespace krzpap
