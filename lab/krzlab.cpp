// krzlab: runs a lab network as its own process, or controls a running one.
//
//   krzlab [--lab FILE | --generated N]   run; prints "KRZ_LAB=127.0.0.1:<port>" and serves until
//                                         SIGINT, SIGTERM or a shutdown request
//   krzlab ctl ADDR OP [NAME [FAULT [PARAM]]]   one control request, its answer on stdout
//   krzlab ctl ADDR '{"op":...}'          a raw control request
//   krzlab dump [default | generated N]   prints a lab description
//   krzlab serve [--lab FILE | --generated N] --device NAME [--address A] [--port P] [--iface IF]
//                [--fault FAULT]
//                                         runs one device of the description as a real daemon on
//                                         A:P (its own address, port 80 unless given); with IF,
//                                         inside a network namespace of its own only, it sets the
//                                         interface's address and moves it on a factory reset
//                                         (SIGUSR1 resets it as its reset page does)
#include "lab/net/LabControl.h"
#include "lab/net/LabControlClient.h"
#include "lab/net/LabControlServer.h"
#include "lab/net/LabDescription.h"
#include "lab/net/LabNetwork.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

int usage() {
    std::cerr << "usage: krzlab [--lab FILE | --generated N]\n"
                 "       krzlab ctl 127.0.0.1:PORT OP [NAME [FAULT [PARAM]]]\n"
                 "       krzlab ctl 127.0.0.1:PORT '{\"op\":...}'\n"
                 "       krzlab dump [default | generated N]\n"
                 "       krzlab serve [--lab FILE | --generated N] --device NAME [--address A]\n"
                 "                    [--port P] [--iface IF] [--fault FAULT]\n"
                 "ops: adapters devices device stop start reset fault driver-table host-table "
                 "shutdown\n";
    return 2;
}

int control(const std::vector<std::string>& args) {
    if (args.size() < 2)
        return usage();
    nlohmann::json request;
    if (!args[1].empty() && args[1][0] == '{') {
        request = nlohmann::json::parse(args[1], nullptr, false);
        if (request.is_discarded()) {
            std::cerr << "krzlab: the request is not JSON\n";
            return 2;
        }
    } else {
        request["op"] = args[1];
        if (args.size() > 2)
            request["name"] = args[2];
        if (args.size() > 3)
            request["fault"] = args[3];
        if (args.size() > 4)
            request["param"] = std::stoi(args[4]);
    }
    try {
        krzlab::LabControlClient client(args[0]);
        nlohmann::json answer = client.request(request);
        std::cout << answer.dump(2) << "\n";
        return answer.value("ok", false) ? 0 : 1;
    } catch (const std::exception& e) {
        std::cerr << "krzlab: " << e.what() << "\n";
        return 1;
    }
}

int dump(const std::vector<std::string>& args) {
    krzlab::LabDescription lab;
    if (args.empty() || args[0] == "default")
        lab = krzlab::LabDescription::defaultLab();
    else if (args[0] == "generated" && args.size() == 2)
        lab = krzlab::LabDescription::generated(std::stoi(args[1]));
    else
        return usage();
    std::cout << lab.toJson().dump(2) << "\n";
    return 0;
}

extern "C" char** environ;

// True inside a network namespace made with `ip netns add` (one of /run/netns): only there may a
// daemon change an interface's addresses, never in the machine's own namespace.
bool inOwnNetworkNamespace() {
    struct stat mine;
    if (::stat("/proc/self/ns/net", &mine) != 0)
        return false;
    DIR* named = ::opendir("/run/netns");
    if (named == nullptr)
        return false;
    bool found = false;
    while (dirent* entry = ::readdir(named)) {
        struct stat other;
        std::string path = std::string("/run/netns/") + entry->d_name;
        if (entry->d_name[0] != '.' && ::stat(path.c_str(), &other) == 0 &&
            other.st_ino == mine.st_ino && other.st_dev == mine.st_dev)
            found = true;
    }
    ::closedir(named);
    return found;
}

bool runIp(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    std::vector<std::string> all{"ip"};
    all.insert(all.end(), args.begin(), args.end());
    for (std::string& a : all)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawnp(&pid, "ip", nullptr, nullptr, argv.data(), environ) != 0)
        return false;
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A "silent" device: its port takes no handshake, because the one-entry queue of a listener that
// never accepts is kept full.
struct SilentPort {
    int listener = -1, filler = -1;
    SilentPort(const std::string& address, uint16_t port) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        inet_pton(AF_INET, address.c_str(), &a.sin_addr);
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(listener, 0) != 0 ||
            ::connect(filler, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            throw std::runtime_error("cannot hold a silent port on " + address);
    }
    ~SilentPort() {
        ::close(filler);
        ::close(listener);
    }
};

int serve(const std::vector<std::string>& args) {
    krzlab::LabDescription description = krzlab::LabDescription::defaultLab();
    std::string name, address, iface, faultName;
    int port = 80;
    for (size_t i = 0; i + 1 < args.size(); i += 2) {
        if (args[i] == "--lab")
            description = krzlab::LabDescription::fromFile(args[i + 1]);
        else if (args[i] == "--generated")
            description = krzlab::LabDescription::generated(std::stoi(args[i + 1]));
        else if (args[i] == "--device")
            name = args[i + 1];
        else if (args[i] == "--address")
            address = args[i + 1];
        else if (args[i] == "--port")
            port = std::stoi(args[i + 1]);
        else if (args[i] == "--iface")
            iface = args[i + 1];
        else if (args[i] == "--fault")
            faultName = args[i + 1];
        else
            return usage();
    }
    if (name.empty() || args.size() % 2 != 0 || port < 1 || port > 65535)
        return usage();
    const krzlab::DeviceSpec* spec = nullptr;
    for (const krzlab::LabDeviceEntry& entry : description.devices)
        if (entry.profile.name == name)
            spec = &entry.profile;
    if (spec == nullptr) {
        std::cerr << "krzlab: no device named " << name << " in the description\n";
        return 2;
    }
    if (!iface.empty() && !inOwnNetworkNamespace()) {
        std::cerr << "krzlab: --iface changes addresses, so it runs only inside a network "
                     "namespace of its own (ip netns exec)\n";
        return 2;
    }
    if (address.empty())
        address = spec->address;

    sigset_t signals;
    sigemptyset(&signals);
    for (int sig : {SIGINT, SIGTERM, SIGUSR1, SIGUSR2})
        sigaddset(&signals, sig);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    std::unique_ptr<krzlab::Device> device = krzlab::Device::create(*spec);
    if (!faultName.empty())
        device->setFault(krzlab::faultFromName(faultName), spec->faultParam);
    std::mutex movedMutex;
    std::string movedTo;
    device->setAddressListener([&](const std::string& moved) {
        std::lock_guard<std::mutex> lock(movedMutex);
        movedTo = moved;
        kill(getpid(), SIGUSR2);
    });
    if (!iface.empty() && !runIp({"addr", "replace", address + "/24", "dev", iface}))
        throw std::runtime_error("cannot give " + iface + " the address " + address);
    std::unique_ptr<SilentPort> silent;
    auto startServing = [&] {
        krzlab::Fault fault = device->state().fault;
        if (fault == krzlab::Fault::Silent)
            silent.reset(new SilentPort(address, static_cast<uint16_t>(port)));
        else if (fault != krzlab::Fault::Refusing && fault != krzlab::Fault::Down) {
            device->serveOn(address, static_cast<uint16_t>(port));
            device->start();
        }
    };
    startServing();
    std::cout << "serving " << name << " on " << address << ":" << port << std::endl;
    for (;;) {
        int sig = 0;
        sigwait(&signals, &sig);
        if (sig == SIGUSR1) {
            device->factoryReset();
            continue;
        }
        if (sig != SIGUSR2)
            break;
        // Moved by a factory reset: the reply that announced it goes out first, then the device
        // restarts at its factory address on the same link.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        std::string moved;
        {
            std::lock_guard<std::mutex> lock(movedMutex);
            moved = movedTo;
        }
        device->stop();
        silent.reset();
        if (!iface.empty()) {
            runIp({"addr", "replace", moved + "/24", "dev", iface});
            runIp({"addr", "del", address + "/24", "dev", iface});
        }
        address = moved;
        startServing();
        std::cout << "moved " << name << " to " << address << ":" << port << std::endl;
    }
    device->stop();
    return 0;
}

int run(const std::vector<std::string>& args) {
    krzlab::LabDescription description = krzlab::LabDescription::defaultLab();
    if (args.size() == 2 && args[0] == "--lab")
        description = krzlab::LabDescription::fromFile(args[1]);
    else if (args.size() == 2 && args[0] == "--generated")
        description = krzlab::LabDescription::generated(std::stoi(args[1]));
    else if (!args.empty())
        return usage();

    // Every thread inherits the blocked signals; only sigwait below takes them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    auto lab = krzlab::LabNetwork::create(description);
    krzlab::LabControlServer server(lab, [] { kill(getpid(), SIGTERM); });
    std::cout << "KRZ_LAB=" << server.address() << std::endl;
    int signal = 0;
    sigwait(&stopSignals, &signal);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    try {
        if (!args.empty() && args[0] == "ctl")
            return control({args.begin() + 1, args.end()});
        if (!args.empty() && args[0] == "serve")
            return serve({args.begin() + 1, args.end()});
        if (!args.empty() && args[0] == "dump")
            return dump({args.begin() + 1, args.end()});
        if (!args.empty() && (args[0] == "-h" || args[0] == "--help"))
            return usage();
        return run(args);
    } catch (const std::exception& e) {
        std::cerr << "krzlab: " << e.what() << "\n";
        return 1;
    }
}
