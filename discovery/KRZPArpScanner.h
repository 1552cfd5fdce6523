/// \file
/// The ARP sweep of an adapter's segment.
//
// An address leaves pendingAddresses once it has answered: getAllResponses returns as soon as every
// asked address has answered, and each answer is handed out by one getResponses only (a later
// call does not repeat what the table still holds). Asking the address again makes it pending.
#pragma once

#include "core/KRZPAPCException.h"
#include "krzcompat/krzexport.h"
#include "krzcompat/krznettypes.h"
#include "krznetlib/KRZAdapterInfo.h"
#include "krznetlib/KRZGetArpTable.h"
#include "krzutil/KRZMacAddress.h"
#include "krzutil/KRZMutex.h"

#include <boost/shared_ptr.hpp>

#include <atomic>
#include <cstdint>
#include <map>
#include <set>
#include <vector>

/// The answers of an ARP sweep: IPv4 address (network byte order) to the MAC that answered.
typedef boost::shared_ptr<std::map<uint32_t, KRZMacAddress>> ArpResponseMap;

/// Finds which addresses on an adapter's segment are in use and by which MAC, by sending ARP
/// requests through the packet driver and reading the driver's ARP table. Every live scanner is
/// fed from each reading of the table. An asked address stops being pending once it answered:
/// each answer is handed out once, and asking again makes the address pending again.
///
/// Use: createInstance, setInterface, any of addIp, addIps, addNet, then getAllResponses or
/// getResponses (repeatable).
///
/// - Ownership: held by boost::shared_ptr; the registry of live scanners keeps only a weak
///   reference. A copy shares the current answers map and is not fed.
/// - Threads: scanners may be driven from different threads at once (one re-entrant mutex guards
///   the registry and the feeding); one thread per scanner. cancel may come from any thread.
/// - Cancel: the running sweep stops at its next pause (after every 40 requests) or resource
///   retry, and every later sweep of this scanner at its first pause; it never throws for it.
/// - Throws KRZPAPCException code 5: no adapter with that MAC (setInterface), or the packet driver
///   out of resources ("Failed to send ARP due to KRZ_NDIS_STATUS_RESOURCES").
/// - Time-outs: requests go out in bursts of 40 with 167 ms pauses; getAllResponses waits up to
///   its argument, polling the table every 50 ms.
class KRZPAP_API KRZPArpScanner {
  public:
    /// A new scanner, registered as live (and the table read once for the scanners already live).
    static boost::shared_ptr<KRZPArpScanner> createInstance();
    /// Copies every field; shares the answers map; not registered as live.
    KRZPArpScanner(const KRZPArpScanner& other);
    /// Copies every field; shares the answers map.
    KRZPArpScanner& operator=(const KRZPArpScanner& other);
    ~KRZPArpScanner();

    /// Chooses the sending adapter and builds the request frame; before any request.
    void setInterface(const KRZAdapterInfo& adapter);
    /// The adapter with that MAC among KRZAdapterInfo::getAdapterInfo; code 5 when none has it.
    void setInterface(const KRZMacAddress& mac);
    /// Sends one request to \p address (network byte order), at once, without pacing.
    void addIp(const in_addr& address);
    /// One request per address (network byte order), in order, paced.
    void addIps(const std::vector<uint32_t>& addresses);
    /// One request per address (network byte order), in ascending order, paced.
    void addIps(const std::set<uint32_t>& addresses);
    /// Requests to \p count consecutive addresses from \p first, paced; none for a count below 1.
    void addNet(const in_addr& first, int count);
    /// Requests to the hosts of the adapter's last-octet block (at most 254), paced.
    void addNet(const KRZAdapterInfo& adapter);
    /// The answers gathered so far, without waiting; the scanner starts a new map.
    ArpResponseMap getResponses();
    /// Waits up to \p timeoutMs for the asked addresses (returning early once all answered), then
    /// getResponses.
    ArpResponseMap getAllResponses(int timeoutMs);
    /// From any thread: stops sweeps (see the class's contract); never cleared.
    void cancel();

    /// The 42-byte request frame as it stands (for tests and tools).
    const unsigned char* getRequestFrame() const;

  private:
    KRZPArpScanner();
    void _sendArp(uint32_t address);
    static void _handleResponses(bool log);
    void _addResponses(const KRZGetArpTable& table);
    void pace(size_t sentSoFar, bool& stop);

    std::atomic<bool> cancelled;
    ArpResponseMap responses;
    unsigned char arpRequest[42];
    std::set<uint32_t> pendingAddresses;
    KRZMacAddress interfaceMac;
};
