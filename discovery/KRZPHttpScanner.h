// The scanner that finds web-administered devices: ARP sweep of each usable adapter, then an HTTP
// probe of "/" on every live address (at most seven outstanding), each complete reply offered to
// the recognizers by priority.
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

class KRZPAPComm;
class KRZWakeHandle;

// One outstanding probe; owns its connection.
class KRZPAP_API KRZPAPCommEntry {
  public:
    KRZPAPCommEntry();
    explicit KRZPAPCommEntry(KRZPAPComm* comm);
    KRZPAPCommEntry(const KRZPAPCommEntry&) = delete;
    KRZPAPCommEntry& operator=(const KRZPAPCommEntry&) = delete;
    virtual ~KRZPAPCommEntry();
    // Deadline = now + milliseconds (does not change `armed`).
    virtual void setDeadline(int milliseconds);

    KRZPAPComm* comm;
    KRZMacAddress mac;
    int deadlineSeconds;
    int deadlineMillis;
    bool armed;
};

class KRZPAP_API KRZPHttpScanner : public KRZPAPScanner {
  public:
    KRZPHttpScanner();
    KRZPHttpScanner(const KRZPHttpScanner& other);
    KRZPHttpScanner& operator=(const KRZPHttpScanner& other);
    ~KRZPHttpScanner() override;

    void scan() override;
    KRZPAPConfiguratorList getAPList() override;
    bool getConnectivity() override;
    void cancel() override;
    void uncancel() override;
    virtual int scanForThisAP(in_addr& address, KRZMacAddress& mac);
    virtual void handleScanResult(in_addr& address, std::string& headers, std::string& body,
                                  KRZMacAddress& mac);

    static void registerHttpRecognizer(boost::shared_ptr<KRZPHttpRecognizer> recognizer,
                                       int priority);

  private:
    void _scanNetwork(KRZAdapterInfo& adapter);
    void _addProbe(unsigned long address, KRZMacAddress interfaceMac, KRZMacAddress deviceMac);
    void _addProbe(boost::shared_ptr<KRZPAPCommEntry> entry);
    void sendRequest(KRZPAPCommEntry& entry);
    void _waitForResponse(int milliseconds);
    bool readReply(const boost::shared_ptr<KRZPAPCommEntry>& entry);
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
