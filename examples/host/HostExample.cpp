// A host in a hundred lines: set up the log, load the modules, scan (hearing each device as the
// scan finds it), list what was found, show one device and change its network name, finding it
// again by its MAC address through the device service.
//
// Usage: krzhostexample [MAC [USER [PASSWORD [NEW-SSID]]]]
// Without arguments it works on the Acme router of the built-in lab (KRZ_NETWORK=lab, the default).
#include <krzpapconfigu/core/KRZPAPModule.h>
#include <krzpapconfigu/discovery/KRZPAPScanner.h>
#include <krzpapconfigu/service/KRZPDeviceService.h>

#include <cstdio>
#include <exception>
#include <string>

namespace {

const char* const kDefaultMac = "02:4B:5A:00:00:10";  // the lab's Acme AP-100
const char* const kDefaultUser = "admin";
const char* const kDefaultPassword = "gatekeeper";
const char* const kDefaultSsid = "HostExample";

std::string describe(KRZPAPConfigurator& device) {
    return device.getVendorName() + " " + device.getModelName() + " at " + device.getAdminPageUrl();
}

void show(KRZPAPConfigurator& device) {
    std::printf("%s\n  firmware %s, network \"%s\"\n", describe(device).c_str(),
                device.getFirmwareRevision().c_str(), device.getSSID().getBytes().c_str());
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mac = argc > 1 ? argv[1] : kDefaultMac;
    const std::string user = argc > 2 ? argv[2] : kDefaultUser;
    const std::string password = argc > 3 ? argv[3] : kDefaultPassword;
    const std::string ssid = argc > 4 ? argv[4] : kDefaultSsid;
    try {
        // 1. The log first: everything after it, module loading included, writes to it.
        KRZPAPModule::setLogFile(L"krzhostexample.log", 1);
        KRZPAPModule::setLogLevel(KRZ_LOG_TRACE);

        // 2. The modules named by KRZ_VORTAN_APMODULE_DLLS (default: the sample module). Without
        //    any module a scan recognizes nothing.
        try {
            KRZPAPModule::loadModuleDlls();
        } catch (const KRZPAPCException&) {
            std::fprintf(stderr, "module not loaded: %ls\n",
                         KRZPAPModule::getModuleLoadFailure().c_str());
            return 1;
        }

        // 3. A scan on this thread; the observer hears each device as soon as it is recognized.
        //    Another thread could end it early with KRZPAPScanner::cancelScan().
        const int observer = KRZPAPScanner::registerScanObserver([](const KRZPScanResult& result) {
            if (result.kind == KRZPScanResult::RECOGNIZED)
                std::printf("found %s\n", describe(*result.configurator).c_str());
        });
        KRZPAPConfiguratorList devices = KRZPAPScanner::runScan();
        KRZPAPScanner::unregisterScanObserver(observer);

        // 4. The list, as runScan returns it.
        std::printf("%zu devices:\n", devices.size());
        for (const auto& device : devices)
            std::printf("  %s\n", describe(*device).c_str());

        // 5. One device, found again by its MAC address wherever it is now, and opened through
        //    the device service: a configurator ready for its credentials.
        KRZPDeviceService service;
        const KRZMacAddress wanted = KRZMacAddress::fromUtf8String(mac);
        std::vector<KRZPDeviceSighting> seen = service.findByMac({wanted});
        if (seen.empty()) {
            std::fprintf(stderr, "no device answers for %s\n", mac.c_str());
            return 1;
        }
        boost::shared_ptr<KRZPAPConfigurator> device = service.open(mac, wanted);
        device->setCredentials(user, password);
        if (!device->testLogin()) {
            std::fprintf(stderr, "%s refused the password\n", describe(*device).c_str());
            return 1;
        }
        device->retrieveAttributes();
        show(*device);

        // 6. A change is a transaction: start, change, complete.
        device->startConfiguration();
        device->changeSSID(KRZSsid(ssid));
        device->completeConfiguration();
        device->retrieveAttributes();
        std::printf("after the change:\n");
        show(*device);
        return 0;
    } catch (const KRZPDeviceError& e) {
        std::fprintf(stderr, "device service: %s\n", e.what());
    } catch (const KRZPAPCException& e) {
        std::fprintf(stderr, "library error %d (system error %u)\n",
                     static_cast<int>(e.getAPCErrorCode()), e.getMsError());
    }
    return 1;
}
