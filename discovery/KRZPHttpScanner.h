/// \file
/// The scanner that finds web-administered devices, and its probe entries.
//
// A probe whose connection is pending gets one second once the host's TCP table lists it. A
// pending connection that the table never lists (one the packet driver carries elsewhere) is
// dropped after five seconds, so that such a device cannot hold a sweep forever.
#pragma once

#include "discovery/KRZPAPScanner.h"
#include "discovery/KRZPHttpRecognizer.h"
#include "krzcompat/krzexport.h"
#include "krzcompat/krznettypes.h"
#include "krznetlib/KRZAdapterInfo.h"
#include "krzutil/KRZMacAddress.h"

#include <boost/shared_ptr.hpp>

#include <atomic>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class KRZPAPComm;
class KRZWakeHandle;

/// One outstanding probe of the HTTP scanner; owns its connection (deleted with the entry). Not
/// copyable; one thread.
class KRZPAP_API KRZPAPCommEntry {
  public:
    /// No connection.
    KRZPAPCommEntry();
    /// Takes ownership of \p comm.
    explicit KRZPAPCommEntry(KRZPAPComm* comm);
    KRZPAPCommEntry(const KRZPAPCommEntry&) = delete;
    KRZPAPCommEntry& operator=(const KRZPAPCommEntry&) = delete;
    /// Deletes the connection.
    virtual ~KRZPAPCommEntry();
    /// Deadline = now + milliseconds (does not change \p armed).
    virtual void setDeadline(int milliseconds);

    KRZPAPComm* comm;     ///< The probe's connection, owned.
    KRZMacAddress mac;    ///< The device's MAC, as ARP gave it.
    int deadlineSeconds;  ///< The deadline's seconds (wall clock).
    int deadlineMillis;   ///< The deadline's milliseconds.
    bool armed;           ///< Whether the deadline counts yet.
};

/// A recognizer that threw while the HTTP scanner offered it replies (see
/// KRZPHttpScanner::takeRecognizerFailures).
struct KRZPRecognizerFailure {
    /// The library that registered the recognizer, as the module list names it; empty for one
    /// registered outside KRZPAPModule::loadModuleDlls (by the host program itself, say).
    std::wstring module;
    /// What it threw first: a std::exception's what() (a KRZPAPCException's names its code), or
    /// "not a std::exception".
    std::string reason;
    /// The replies it threw on.
    int replies;
};

/// The scanner that finds web-administered devices; the library registers one when it loads. For
/// each usable adapter: an ARP sweep of its network and of the modules' factory addresses (two
/// seconds for answers, plus the host's ARP table), then an HTTP probe of "/" on every live
/// address through the packet driver (at most seven outstanding, select passes of 0.3 seconds),
/// and each complete reply offered to the recognizers in ascending priority.
///
/// - Ownership: the registry shares the scanner; the configurators it finds are shared with
///   the scan's result. Each probe owns its connection.
/// - Threads: scan runs on runScan's thread; cancel from any other thread.
/// - Cancel: the sweep throws code 14 at its next select pass.
/// - Throws KRZPAPCException: 14 cancelled; a failing probe costs only its own address. A
///   recognizer that throws (anything but code 14) is logged with its module's name and skipped
///   for that reply: the other recognizers, and the sweep, go on (takeRecognizerFailures).
/// - Time-outs: a connected probe has 2 seconds for its reply; a pending connect 1 second once the
///   host's TCP table lists it, 5 seconds if it never does.
class KRZPAP_API KRZPHttpScanner : public KRZPAPScanner {
  public:
    /// Not cancelled, nothing found.
    KRZPHttpScanner();
    /// Copies the whole state; outstanding probes are shared.
    KRZPHttpScanner(const KRZPHttpScanner& other);
    /// Copies the whole state; outstanding probes are shared.
    KRZPHttpScanner& operator=(const KRZPHttpScanner& other);
    ~KRZPHttpScanner() override;

    /// Every usable adapter in turn (see the class); results as they come to the scan observers.
    void scan() override;
    /// What the last scan or scanForThisAP recognized.
    KRZPAPConfiguratorList getAPList() override;
    /// True when an adapter's sweep had an ARP answer or a probe connected.
    bool getConnectivity() override;
    /// From any thread: the sweep throws code 14 soon.
    void cancel() override;
    /// Clears the cancel flag.
    void uncancel() override;
    /// Probes one device (\p address, \p mac) as a scan would, without ARP, through the kernel's
    /// routes: returns the number of complete replies (0 or 1); getAPList then holds its
    /// configurator if a recognizer claimed it. Throws code 14 when cancelled. Nothing reaches the
    /// scan observers.
    virtual int scanForThisAP(in_addr& address, KRZMacAddress& mac);
    /// Offers one reply to the recognizers in ascending priority; the first configurator
    /// returned joins getAPList. A recognizer that throws is logged ("KRZPHttpScanner: the
    /// recognizer of module \<name\> failed on the reply from \<address\>: \<reason\>"; for
    /// one registered outside loadModuleDlls, "a recognizer registered outside the module list
    /// failed ...") and the next one is asked; only a KRZPAPCException with code 14 passes on.
    virtual void handleScanResult(in_addr& address, std::string& headers, std::string& body,
                                  KRZMacAddress& mac);

    /// From module code while its library loads: the registry shares ownership of \p recognizer,
    /// asked in ascending \p priority (equal priorities in order of registration). No lock.
    static void registerHttpRecognizer(boost::shared_ptr<KRZPHttpRecognizer> recognizer,
                                       int priority);
    /// The recognizers that threw since the last call (in any scan or scanForThisAP of the
    /// process), one entry per module in the order of their first failure; the list is then
    /// empty again. For a host that tells its user which module to leave out. From any thread.
    static std::vector<KRZPRecognizerFailure> takeRecognizerFailures();

    /// Whether scans also reach devices that serve their pages over HTTPS only; off by default
    /// (the scanner then probes port 80 alone). On: a live host whose port 80 refuses is probed
    /// on 443, and one whose "/" answers with a redirect (301, 302, 303, 307, 308) to
    /// https://\<its own address\>[:port]/ is probed on that port, both over TLS (the
    /// certificate goes to KRZPAPComm's host check, as every HTTPS connection's does). The
    /// recognizers are offered that reply, and the device's port 80 is sent to that port over TLS
    /// for the rest of the process (KRZNetworkBackend::redirectPort, KRZPAPComm::setTlsFor), so
    /// its configurator reaches it. A redirect to another host is not followed (the redirect
    /// itself is offered, as with this off); nor is one when the HTTPS probe fails. Process-wide;
    /// set before a scan.
    static void setHttpsProbe(bool on);
    /// Whether scans probe HTTPS ports (setHttpsProbe).
    static bool httpsProbe();
    /// The HTTPS port of a redirect that stays on the device at \p address: \p status a redirect
    /// code and \p location "https://" followed by the address's dotted text, an optional port and
    /// "/" or the end; 443 without a port. 0 for anything else (another host, a name, plain http).
    static unsigned short httpsRedirectPort(const in_addr& address, int status,
                                            const std::string& location);

  private:
    void _scanNetwork(KRZAdapterInfo& adapter);
    void _addProbe(unsigned long address, KRZMacAddress interfaceMac, KRZMacAddress deviceMac);
    void _addProbe(boost::shared_ptr<KRZPAPCommEntry> entry);
    // `entry`'s HTTPS port when the probe should go on over TLS after its port 80 answered (or
    // refused, `reply` false); 0 when not (setHttpsProbe).
    unsigned short tlsRetryPort(const KRZPAPCommEntry& entry, bool reply) const;
    // Opens the probes the pass chose to go on over TLS.
    void startTlsProbes();
    // Sends a probe's request (a TLS one after its handshake); false when the probe is over.
    bool sendProbe(unsigned int socket, const boost::shared_ptr<KRZPAPCommEntry>& entry);
    // One step of a TLS probe's handshake, then its request; false when the probe is over.
    bool shakeHands(unsigned int socket, const boost::shared_ptr<KRZPAPCommEntry>& entry);
    // A probe that ends without a reply of its own.
    void giveUp(unsigned int socket, const KRZPAPCommEntry& entry);
    // Later connections to the device's port 80 go to `port` over TLS.
    static void reachOverTls(const in_addr& address, unsigned short port);
    void offerReply(const KRZPAPCommEntry& entry, std::string headers, std::string body);
    void sendRequest(KRZPAPCommEntry& entry);
    void _waitForResponse(int milliseconds);
    bool readReply(const boost::shared_ptr<KRZPAPCommEntry>& entry);
    bool readReply(unsigned int socket, const boost::shared_ptr<KRZPAPCommEntry>& entry);
    void _handleResponse(boost::shared_ptr<KRZPAPCommEntry> entry);
    void clearProbes();
    // Takes the socket out of the three sets and forgets when it was first seen unlisted.
    void dropSocket(unsigned int socket);
    // `listed`: the host's TCP table lists the socket's connect (or could not be read).
    void armPending(unsigned int socket, KRZPAPCommEntry& entry, bool listed, long long now);

    KRZPAPConfiguratorList apList;
    std::map<unsigned int, boost::shared_ptr<KRZPAPCommEntry>> probes;
    std::atomic<bool> canceled;
    bool connectivity;
    struct SocketSets;  // the select sets of the outstanding probes
    KRZHeldValue<SocketSets> sets;
    int responseCount;
    // Pending connections that the TCP table does not list, with the time (ms) first seen so.
    // Only sockets in probes are here: every probe leaves through dropSocket, which erases it.
    std::map<unsigned int, long long> unlistedSince;
    // Woken by cancel() and part of every pass's select, so that a cancel ends the pass at once;
    // each copy has its own.
    std::unique_ptr<KRZWakeHandle> wake;
};
