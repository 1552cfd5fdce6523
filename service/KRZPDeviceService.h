/// \file
/// The device service: how a host reaches one device on its network, so that every host (the
/// command line, an example program, a page in a browser) does it the same way. Built as its own
/// library (libkrzpapservice.so, krzpapservice.dll) on top of krzpapconfigu and the host's network
/// library; the library itself never calls it.
#pragma once

#include "core/KRZPAPCException.h"
#include "core/KRZPAPConfigurator.h"
#include "discovery/KRZPAPScanner.h"
#include "krzcompat/krzexport.h"
#include "krzutil/KRZMacAddress.h"
#include "krzcompat/krznettypes.h"

#include <boost/shared_ptr.hpp>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#if defined(krzpapservice_EXPORTS)
/// Exports the device service's classes from its own library, imports them elsewhere.
#define KRZPSERVICE_API KRZ_DLL_EXPORT
#else
/// Exports the device service's classes from its own library, imports them elsewhere.
#define KRZPSERVICE_API KRZ_DLL_IMPORT
#endif

/// Why the service could not hand out a device.
enum KRZPDeviceErrorCode {
    /// Neither dotted IPv4, nor a MAC address, nor a host name that resolves.
    KRZP_DEVICE_BAD_NAME = 1,
    /// No device answers ARP at the address (or for the MAC) on any usable adapter.
    KRZP_DEVICE_NOTHING_ANSWERED = 2,
    /// A device answers ARP there, but no web server answers on port 80.
    KRZP_DEVICE_NO_WEB_SERVER = 3,
    /// A web server answers, but no loaded module recognizes its reply.
    KRZP_DEVICE_NOT_RECOGNIZED = 4,
    /// Several devices answer at the address and no MAC says which one is meant.
    KRZP_DEVICE_SEVERAL = 5,
    /// No device with the given MAC answers at the address on any usable adapter.
    KRZP_DEVICE_MAC_NOT_THERE = 6
};

/// One device that answered: its address, its MAC and the adapter (by MAC) it answered through.
struct KRZPDeviceSighting {
    KRZInAddrValue address;      ///< Network byte order.
    KRZMacAddress mac;           ///< The device's MAC (unset where the kernel's routes serve).
    KRZMacAddress interfaceMac;  ///< The local adapter's MAC (unset likewise).
};

/// How a scan through the service ended.
enum KRZPScanEnd {
    /// Every scanner ran to its end and some network answered (the list may still be empty of
    /// recognized devices: see KRZPScanOutcome::heard).
    KRZP_SCAN_COMPLETE = 0,
    /// The host cancelled (KRZPDeviceService::cancel): what was heard before the cancel is kept.
    KRZP_SCAN_CANCELLED = 1,
    /// Nothing answered on any usable adapter's network (the driver's code 18).
    KRZP_SCAN_NOTHING_ANSWERED = 2
};

/// What a scan through the service found, and how it ended.
struct KRZPScanOutcome {
    /// How the scan ended.
    KRZPScanEnd end = KRZP_SCAN_COMPLETE;
    /// Every result the observer heard, in the order heard (recognized, unrecognized, ARP only):
    /// a host tells "hosts answered but none was recognized" from "nothing answered" with it.
    std::vector<KRZPScanResult> heard;
    /// The configurators of the recognized devices, in scanner order as runScan returns them;
    /// empty when the scan was cancelled or nothing answered.
    KRZPAPConfiguratorList devices;
};

/// The service's verdict when it cannot hand out a device: a KRZPDeviceErrorCode, a message for
/// the user (what() gives it), the address asked for and the devices concerned. A plain value
/// type, thrown by value.
class KRZPSERVICE_API KRZPDeviceError : public std::runtime_error {
  public:
    /// \p devices: for KRZP_DEVICE_SEVERAL every device that answered, else the one concerned (if
    /// any answered).
    KRZPDeviceError(KRZPDeviceErrorCode code, const std::string& message, const in_addr& address,
                    const std::vector<KRZPDeviceSighting>& devices);
    /// Why.
    KRZPDeviceErrorCode code() const;
    /// The address asked for (0 when a name did not resolve).
    in_addr address() const;
    /// See the constructor.
    const std::vector<KRZPDeviceSighting>& devices() const;

  private:
    KRZPDeviceErrorCode code_;
    KRZInAddrValue address_;
    std::vector<KRZPDeviceSighting> devices_;
};

/// How a host reaches one device: by dotted IPv4 address, host name or MAC, recognized and
/// reachable; and every device that answers for some MACs.
///
/// - In: a device named by dotted IPv4 address, host name or MAC address, and, where several
///   devices may share the address, the MAC of the one meant. Out: a recognized configurator with
///   its address and MAC set, ready for setCredentials and testLogin; or the devices that answer
///   for MAC addresses.
/// - Connections are carried to the device's MAC (KRZNetworkBackend::carryTo) where the address is
///   off every usable adapter's network, or where a MAC was given: from then on every connection
///   of this process to that address, the configurator's included, reaches that device. Carrying
///   needs the packet driver; where there is none (Windows) a MAC that must be carried to fails
///   as KRZP_DEVICE_MAC_NOT_THERE.
/// - Ownership: what is returned belongs to the caller (shared pointers, values); the service
///   keeps nothing of it. The modules must be loaded (KRZPAPModule::loadModuleDlls) before open.
/// - Threads: the operations run on the caller's thread; one operation at a time per service
///   object. cancel() may be called from any other thread at any time.
/// - Cancel: cancel() ends the running operation (and makes the next one end at once until
///   uncancel()) with KRZPAPCException code 14 (KRZPAPC_CANCELLED); a scan ends instead with
///   KRZP_SCAN_CANCELLED. It is never lost: a cancel that comes before the operation starts, or
///   between two of a scan's scanners, ends it all the same. A cancelled scan ends within about
///   200 ms and its observer hears nothing after the cancel. This is the cancel hosts use;
///   KRZPAPScanner::cancelScan keeps its own narrower contract.
/// - Throws: KRZPDeviceError for the service's verdicts below; KRZPAPCException for the library's
///   failures (cancelled, no socket, ...). Nothing else is thrown on purpose.
/// - Time-outs: two seconds for ARP answers (100 ms more for a second device at one address),
///   then the HTTP probe's (see KRZPHttpScanner).
class KRZPSERVICE_API KRZPDeviceService {
  public:
    /// Not cancelled; holds nothing.
    KRZPDeviceService();
    ~KRZPDeviceService();
    KRZPDeviceService(const KRZPDeviceService&) = delete;
    KRZPDeviceService& operator=(const KRZPDeviceService&) = delete;

    /// The configurator for the device named `device` (dotted IPv4, host name or MAC), made by
    /// the modules' recognizers from its reply to "/". \p mac, when set, picks the device at that
    /// address with that MAC; it is needed when several devices answer at the address.
    boost::shared_ptr<KRZPAPConfigurator> open(const std::string& device,
                                               const KRZMacAddress& mac = KRZMacAddress());

    /// Makes the device named \p device reachable without recognizing it, for a host that sends
    /// its own requests: carries connections to \p mac when set, else to the MAC that ARP finds
    /// when the address is off every usable adapter's network. Returns the address, and the MAC
    /// and adapter where connections are carried (unset where the kernel's routes serve).
    KRZPDeviceSighting reach(const std::string& device, const KRZMacAddress& mac = KRZMacAddress());

    /// Every device that answers ARP with one of \p macs, on every usable adapter's network and
    /// at the modules' factory addresses, also where two of them share one address; in the order
    /// of \p macs, none for a MAC that nobody answers for.
    std::vector<KRZPDeviceSighting> findByMac(const std::vector<KRZMacAddress>& macs);

    /// The MAC of the one device that answers ARP at \p device (dotted IPv4, host name or MAC),
    /// without recognizing it; connections are carried to it as for reach. Unset for a server on
    /// this computer (loopback), which has none. Throws KRZPDeviceError: KRZP_DEVICE_BAD_NAME,
    /// KRZP_DEVICE_NOTHING_ANSWERED, KRZP_DEVICE_SEVERAL (the MACs in devices()).
    KRZMacAddress macOf(const std::string& device);

    /// One scan of the whole network through the scan driver (KRZPAPScanner::runScan, every
    /// registered scanner), on the caller's thread. \p observer, when set, hears each result as
    /// it is found, on this thread, and nothing after a cancel; it must return soon and not
    /// throw. Ends with KRZP_SCAN_CANCELLED after cancel(), KRZP_SCAN_NOTHING_ANSWERED when no
    /// scanner reached a network. Throws KRZPAPCException code 17 while another scan runs in
    /// this process, and the driver's other failures.
    KRZPScanOutcome scan(const KRZPScanObserver& observer = KRZPScanObserver());

    /// From any thread: the running operation, and every later one until uncancel, ends with
    /// code 14.
    void cancel();
    /// Clears the cancel.
    void uncancel();

  private:
    struct State;
    std::unique_ptr<State> state_;
};
