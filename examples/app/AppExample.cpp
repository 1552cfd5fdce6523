// A host on the application layer: scan (hearing each host as it answers), change one router's
// network name and read the change back, then find the router again by its MAC. Every failure
// arrives as one krzpapp::Error whose kind and field the host turns into its own words.
//
// Usage: krzappexample [ADDRESS [PASSWORD [NEW-SSID]]], ADDRESS also as https://ADDRESS
// Without arguments it works on the Acme router of the built-in lab (KRZ_NETWORK=lab, the default).
#include <krzpapconfigu/app/KRZPApp.h>
#include <krzpapconfigu/app/KRZPAppHelpers.h>
#include <krzpapconfigu/app/KRZPTlsTrust.h>
#include <krzpapconfigu/core/KRZPAPModule.h>
#include <krzpapconfigu/http/KRZPAPComm.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

namespace {

const char kTrustStore[] = "krzappexample-trusted.json";
// Set when this host's own certificate check refused a router: the failure then arrives as
// Unreachable, and only the host knows why.
std::atomic<bool> g_certificateRefused{false};

// What the user sees while the work runs.
class Progress : public krzpapp::Observer {
  public:
    void step(const std::string& what) override { std::printf("... %s\n", what.c_str()); }
    void found(const krzpapp::Device& d) override {
        std::printf("heard %s %s\n", d.address.c_str(),
                    d.recognized ? d.description.c_str() : "(not recognized)");
    }
};

// The host's own words for the layer's failures: here, what to do next.
std::string nextStep(const krzpapp::Error& e) {
    switch (e.kind()) {
        case krzpapp::ErrorKind::LoginRefused:
            return "give the router's password as the second argument";
        case krzpapp::ErrorKind::BadRequest:
        case krzpapp::ErrorKind::DeviceRule:
            return "change the value named above";
        case krzpapp::ErrorKind::Unreachable:
            return g_certificateRefused
                       ? std::string("if the router was reset or replaced, delete ") + kTrustStore +
                             " to trust what it shows now"
                       : "check the address";
        default:
            return "see krzappexample.log";
    }
}

}  // namespace

int main(int argc, char** argv) {
    krzpapp::DeviceRequest router;
    router.address = argc > 1 ? argv[1] : "192.168.77.10";
    router.user = "admin";
    router.password = argc > 2 ? argv[2] : "gatekeeper";
    krzpapp::ConfigureRequest change;
    change.ssid = argc > 3 ? argv[3] : "AppExample";

    // The library's set-up is the host's: the log first, then the modules.
    KRZPAPModule::setLogFile(L"krzappexample.log", 1);
    try {
        KRZPAPModule::loadModuleDlls();
    } catch (const KRZPAPCException&) {
        std::fprintf(stderr, "module not loaded: %ls\n",
                     KRZPAPModule::getModuleLoadFailure().c_str());
        return 1;
    }
    // An https:// address: the router's own certificate is trusted on first use and pinned here.
    static krzpapp::TlsTrust trust(kTrustStore);
    KRZPAPComm::setHostCertificateCheck([](const in_addr& address, unsigned short port,
                                           const std::vector<unsigned char>& der) {
        try {
            trust.check(krzpapp::TlsTrust::keyFor(address, port), krzpapp::dotted(address), der);
        } catch (...) {
            g_certificateRefused = true;
            throw;
        }
    });
    Progress progress;
    krzpapp::Application app(&progress);
    try {
        krzpapp::ScanResult scan = app.scan({});
        std::printf("%d of %d hosts recognized\n", scan.recognized, scan.answered);

        krzpapp::ConfigureResult done = app.configure(router, change);
        for (const krzpapp::Change& c : done.changes)
            std::printf("%s = \"%s\": %s\n", c.setting.c_str(), c.secret ? "***" : c.value.c_str(),
                        c.confirmed ? "confirmed" : "NOT kept by the device");
        if (!done.notKept().empty())
            return 1;

        for (const krzpapp::Sighting& s : app.find({done.device.device.mac}))
            std::printf("%s is at %s\n", s.mac.c_str(), s.found ? s.address.c_str() : "(gone)");
        std::printf("network \"%s\"\n", done.device.ssid.c_str());
        return 0;
    } catch (const krzpapp::Error& e) {
        std::fprintf(stderr, "%s%s%s; %s\n", e.what(), e.field().empty() ? "" : " (field ",
                     e.field().empty() ? "" : (e.field() + ")").c_str(), nextStep(e).c_str());
        return 1;
    }
}
