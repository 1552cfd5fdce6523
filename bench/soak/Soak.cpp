// Soak: 1,000 requests against the emulated devices of an in-process lab, a flooding and a
// resetting device among them, then 100 lab scans, all in one process. Prints the open
// descriptors and the resident memory at the start, in the middle and at the end; both should
// come back to where they settled after the first round.
//
//   krz_soak [requests] [scans]
#include "lab/net/LabDescription.h"
#include "lab/net/LabNetwork.h"

#include "core/KRZPAPCException.h"
#include "core/KRZPAPModule.h"
#include "discovery/KRZPAPScanner.h"
#include "http/KRZPAPComm.h"
#include "krznetlib/KRZNetworkBackend.h"

#include "testsupport/krzhandles.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

int openDescriptors() {
    int count = krztest::openHandleCount();
    return count < 0 ? count : count - 3;  // ".", ".." and the directory's own descriptor
}

long residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0)
            return std::atol(line.c_str() + 6);
    }
    return -1;
}

void report(const char* when, double seconds) {
    std::printf("%-28s %7.1f s  descriptors %4d  resident %7.1f MiB\n", when, seconds,
                openDescriptors(), residentKiB() / 1024.0);
    std::fflush(stdout);
}

struct Target {
    const char* address;
    const char* path;
    const char* user;
    const char* password;
};

// The default lab and two devices that misbehave on every request: one floods, one resets.
std::shared_ptr<krzlab::LabNetwork> soakLab() {
    krzlab::LabDescription description = krzlab::LabDescription::defaultLab();
    krzlab::DeviceSpec flood = description.devices.front().profile;
    flood.name = "flood-1";
    flood.address = flood.factoryAddress = "192.168.77.200";
    flood.mac = "02:4B:5A:00:EE:01";
    flood.fault = krzlab::Fault::Flood;
    krzlab::DeviceSpec reset = flood;
    reset.name = "reset-1";
    reset.address = reset.factoryAddress = "192.168.77.201";
    reset.mac = "02:4B:5A:00:EE:02";
    reset.fault = krzlab::Fault::Reset;
    description.devices.push_back({flood, ""});
    description.devices.push_back({reset, ""});
    std::shared_ptr<krzlab::LabNetwork> lab = krzlab::LabNetwork::create(description);
    lab->install();
    return lab;
}

// One GET on a connection of its own; false where the device fails it.
bool fetchOnce(const Target& t, size_t& bytes) {
    KRZPAPComm comm{std::string(t.address)};
    comm.setTimeout(5);
    comm.setAuthInfo(t.user, t.password);
    try {
        comm.openConnection(80, false);
        comm.writeGetRequest(t.path);
        comm.readResponseSynchronous();
        bytes += comm.getResponseBody().size();
        return true;
    } catch (const KRZPAPCException&) {
        return false;
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int requests = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int scans = argc > 2 ? std::atoi(argv[2]) : 100;
    try {
        KRZPAPModule::loadModuleDlls();
    } catch (const KRZPAPCException&) {
        std::fprintf(stderr, "sample module not found: scans recognize nothing\n");
    }
    std::shared_ptr<krzlab::LabNetwork> lab = soakLab();

    const std::vector<Target> targets = {{"192.168.77.10", "/", "admin", "gatekeeper"},
                                         {"192.168.77.20", "/", "", ""},
                                         {"192.168.77.30", "/", "admin", ""},
                                         {"192.168.77.31", "/style.css", "", ""},
                                         {"192.168.77.40", "/", "", ""},
                                         {"192.168.77.200", "/", "", ""},
                                         {"192.168.77.201", "/", "", ""}};
    auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    report("start", 0);
    int ok = 0, failed = 0;
    size_t bytes = 0;
    for (int i = 0; i < requests; ++i) {
        const Target& t = targets[static_cast<size_t>(i) % targets.size()];
        if (fetchOnce(t, bytes))
            ++ok;
        else
            ++failed;  // the flooding and the resetting device, by design
        if (i + 1 == requests / 2)
            report("half the requests", elapsed());
    }
    std::printf("requests: %d complete (%zu body bytes), %d failed\n", ok, bytes, failed);
    report("after the requests", elapsed());
    size_t found = 0;
    int scanErrors = 0;
    for (int i = 0; i < scans; ++i) {
        try {
            found += KRZPAPScanner::runScan().size();
        } catch (const KRZPAPCException&) {
            ++scanErrors;
        }
        if (i + 1 == scans / 2)
            report("half the scans (middle)", elapsed());
    }
    std::printf("scans: %d, %zu configurators in all, %d failed\n", scans, found, scanErrors);
    report("end", elapsed());
    KRZNetworkBackend::setActive(boost::shared_ptr<KRZNetworkBackend>(new KRZNullNetworkBackend));
    return 0;
}
