// Finds which addresses on an adapter's segment are in use and by which MAC, by sending ARP
// requests through the packet driver and reading the driver's ARP table. Every live scanner is fed
// from each reading of the table.
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

typedef boost::shared_ptr<std::map<uint32_t, KRZMacAddress>> ArpResponseMap;

class KRZPAP_API KRZPArpScanner {
  public:
    static boost::shared_ptr<KRZPArpScanner> createInstance();
    KRZPArpScanner(const KRZPArpScanner& other);
    KRZPArpScanner& operator=(const KRZPArpScanner& other);
    ~KRZPArpScanner();

    void setInterface(const KRZAdapterInfo& adapter);
    void setInterface(const KRZMacAddress& mac);
    void addIp(const in_addr& address);
    void addIps(const std::vector<uint32_t>& addresses);
    void addIps(const std::set<uint32_t>& addresses);
    void addNet(const in_addr& first, int count);
    void addNet(const KRZAdapterInfo& adapter);
    ArpResponseMap getResponses();
    ArpResponseMap getAllResponses(int timeoutMs);
    void cancel();

    // The 42-byte request frame as it stands (for tests and tools).
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
