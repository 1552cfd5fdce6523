// krzlab: runs a lab network as its own process, or controls a running one.
#include "lab/net/LabControl.h"
#include "lab/net/LabControlClient.h"
#include "lab/net/LabControlServer.h"
#include "lab/net/LabDescription.h"
#include "lab/net/LabNetwork.h"
#include "platform/krzprocess.h"

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

const char* const kHelp =
    "krzlab: an emulated network of access points and routers for krzpap and the library's\n"
    "tests. Nothing it does leaves this computer.\n"
    "\n"
    "Usage:\n"
    "  krzlab [--lab FILE | --generated N]\n"
    "      Run a lab in the foreground: prints KRZ_LAB=ADDRESS (give it to krzpap with --lab\n"
    "      or the KRZ_LAB setting) and serves until Ctrl-C or a shutdown request.\n"
    "      Without options the default lab runs (six devices on 192.168.77.0/24).\n"
    "  krzlab ctl ADDRESS OP [NAME [FAULT [PARAM]]] [--show-secrets]\n"
    "  krzlab ctl ADDRESS '{\"op\": ...}' [--show-secrets]\n"
    "      Send one control request to a running lab and print its answer as JSON.\n"
    "  krzlab dump [default | generated N]\n"
    "      Print a lab description (the form --lab FILE reads).\n"
    "  krzlab serve [--lab FILE | --generated N] --device NAME [--address A] [--port P]\n"
    "               [--iface IF] [--fault FAULT]\n"
    "      Run one device of the description as a real network daemon on A:P (its own\n"
    "      address and port 80 unless given; port 0 takes a free one, which the first line\n"
    "      names). A device with the lab option \"https\" serves HTTPS too, on its HTTPS\n"
    "      port (a free one with port 0), which a second line names. With --iface, and only\n"
    "      inside a network namespace made with 'ip netns add', it gives IF the address and\n"
    "      moves it there on a factory reset (SIGUSR1 resets it as its reset page does).\n"
    "  krzlab --help | --version\n"
    "\n"
    "Options:\n"
    "  --lab FILE        run the lab described in FILE (see 'krzlab dump')\n"
    "  --generated N     run N healthy devices of every family (1 to 250)\n"
    "  --show-secrets    show passwords and keys in ctl answers (hidden otherwise)\n"
    "\n"
    "Control operations: adapters, devices, device NAME, stop NAME, start NAME, reset NAME\n"
    "(factory reset), fault NAME FAULT [PARAM], driver-table, host-table, shutdown.\n"
    "Faults: none, down, refusing, silent, slow, close-early, malformed.\n"
    "\n"
    "Exit status: 0 done, 1 failed, 2 bad usage.\n";

// A usage error: the sentence, and where the help is.
class UsageError : public std::runtime_error {
  public:
    explicit UsageError(const std::string& message) : std::runtime_error(message) {}
};

int wholeNumber(const std::string& text, const std::string& what) {
    size_t used = 0;
    int value = 0;
    try {
        value = std::stoi(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != text.size())
        throw UsageError(what + " is a whole number, not \"" + text + "\"");
    return value;
}

int generatedCount(const std::string& text) {
    int count = wholeNumber(text, "--generated");
    if (count < 1 || count > 250)
        throw UsageError("--generated takes 1 to 250 devices");
    return count;
}

// Passwords and keys, wherever they stand in an answer, unless the user asked for them.
void hideSecrets(nlohmann::json& value) {
    if (value.is_object()) {
        for (auto& [name, item] : value.items()) {
            if ((name == "password" || name == "key") && item.is_string())
                item = nullptr;
            else
                hideSecrets(item);
        }
    } else if (value.is_array()) {
        for (auto& item : value)
            hideSecrets(item);
    }
}

int control(std::vector<std::string> args) {
    bool showSecrets = false;
    for (auto it = args.begin(); it != args.end();) {
        if (*it == "--show-secrets") {
            showSecrets = true;
            it = args.erase(it);
        } else {
            ++it;
        }
    }
    if (args.size() < 2)
        throw UsageError("ctl needs the lab's address and an operation: krzlab ctl ADDRESS OP");
    nlohmann::json request;
    if (!args[1].empty() && args[1][0] == '{') {
        request = nlohmann::json::parse(args[1], nullptr, false);
        if (request.is_discarded())
            throw UsageError("the request is not JSON");
    } else {
        const std::string& op = args[1];
        request["op"] = op;
        bool named =
            op == "device" || op == "stop" || op == "start" || op == "reset" || op == "fault";
        if (named && args.size() < 3)
            throw UsageError("'" + op + "' needs a device name: krzlab ctl ADDRESS " + op +
                             " NAME" + (op == "fault" ? " FAULT [PARAM]" : ""));
        if (op == "fault" && args.size() < 4)
            throw UsageError(
                "'fault' needs a fault: none, down, refusing, silent, slow, "
                "close-early or malformed");
        if (args.size() > 2)
            request["name"] = args[2];
        if (args.size() > 3)
            request["fault"] = args[3];
        if (args.size() > 4)
            request["param"] = wholeNumber(args[4], "the fault's parameter");
        if (args.size() > 5)
            throw UsageError("too many arguments for ctl");
    }
    nlohmann::json answer;
    try {
        krzlab::LabControlClient client(args[0]);
        answer = client.request(request);
    } catch (const std::exception& e) {
        std::cerr << "krzlab: no lab answers at " << args[0] << " (" << e.what()
                  << "); start one with 'krzlab' or 'krzpap lab'\n";
        return 1;
    }
    if (!answer.value("ok", false)) {
        std::cerr << "krzlab: the lab refused the request: " << answer.value("error", "") << "\n";
        return 1;
    }
    if (!showSecrets)
        hideSecrets(answer);
    std::cout << answer.dump(2) << "\n";
    return 0;
}

int dump(const std::vector<std::string>& args) {
    krzlab::LabDescription lab;
    if (args.empty() || (args.size() == 1 && args[0] == "default"))
        lab = krzlab::LabDescription::defaultLab();
    else if (args[0] == "generated" && args.size() == 2)
        lab = krzlab::LabDescription::generated(generatedCount(args[1]));
    else
        throw UsageError("dump takes 'default' or 'generated N'");
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

struct ServeOptions {
    krzlab::LabDescription description = krzlab::LabDescription::defaultLab();
    std::string name, address, iface, faultName;
    int port = 80;
};

ServeOptions serveOptions(const std::vector<std::string>& args) {
    ServeOptions o;
    for (size_t i = 0; i + 1 < args.size(); i += 2) {
        if (args[i] == "--lab")
            o.description = krzlab::LabDescription::fromFile(args[i + 1]);
        else if (args[i] == "--generated")
            o.description = krzlab::LabDescription::generated(generatedCount(args[i + 1]));
        else if (args[i] == "--device")
            o.name = args[i + 1];
        else if (args[i] == "--address")
            o.address = args[i + 1];
        else if (args[i] == "--port")
            o.port = wholeNumber(args[i + 1], "--port");
        else if (args[i] == "--iface")
            o.iface = args[i + 1];
        else if (args[i] == "--fault")
            o.faultName = args[i + 1];
        else
            throw UsageError("serve does not take " + args[i]);
    }
    if (o.name.empty() || args.size() % 2 != 0 || o.port < 0 || o.port > 65535)
        throw UsageError(
            "serve needs --device NAME, each option with its value, a port of 0 "
            "(a free one) to 65535");
    return o;
}

// The signals serveDevice waits for, blocked so that only its sigwait takes them.
sigset_t blockServeSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    for (int sig : {SIGINT, SIGTERM, SIGUSR1, SIGUSR2})
        sigaddset(&signals, sig);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    return signals;
}

// Gives the interface (if any) the device's new address in place of its old one.
void moveInterfaceAddress(const std::string& iface, const std::string& from,
                          const std::string& to) {
    if (!iface.empty()) {
        runIp({"addr", "replace", to + "/24", "dev", iface});
        runIp({"addr", "del", from + "/24", "dev", iface});
    }
}

// Serves one device until SIGINT or SIGTERM: SIGUSR1 resets it to its factory settings, SIGUSR2
// (sent by the device itself) moves it to the address a reset gave it.
int serveDevice(const ServeOptions& o, const krzlab::DeviceSpec& profile) {
    const std::string &name = o.name, &iface = o.iface, &faultName = o.faultName;
    std::string address = o.address;
    const int port = o.port;
    sigset_t signals = blockServeSignals();

    std::unique_ptr<krzlab::Device> device = krzlab::Device::create(profile);
    if (!faultName.empty())
        device->setFault(krzlab::faultFromName(faultName), profile.faultParam);
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
    // Port 0 serves on a free port; the line names the one taken.
    std::cout << "serving " << name << " on " << address << ":"
              << (device->port() != 0 ? device->port() : port) << std::endl;
    if (device->httpsPort() != 0)
        std::cout << "serving " << name << " over HTTPS on " << address << ":"
                  << device->endpointFor(device->httpsPort()) << std::endl;
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
        moveInterfaceAddress(iface, address, moved);
        address = moved;
        startServing();
        std::cout << "moved " << name << " to " << address << ":" << port << std::endl;
    }
    device->stop();
    return 0;
}

int serve(const std::vector<std::string>& args) {
    ServeOptions o = serveOptions(args);
    const krzlab::DeviceSpec* profile = nullptr;
    for (const krzlab::LabDeviceEntry& entry : o.description.devices)
        if (entry.profile.name == o.name)
            profile = &entry.profile;
    if (profile == nullptr) {
        std::cerr << "krzlab: no device named " << o.name << " in the description\n";
        return 2;
    }
    if (!o.iface.empty() && !inOwnNetworkNamespace()) {
        std::cerr << "krzlab: --iface changes addresses, so it runs only inside a network "
                     "namespace of its own (ip netns exec)\n";
        return 2;
    }
    if (o.address.empty())
        o.address = profile->address;
    return serveDevice(o, *profile);
}

int run(const std::vector<std::string>& args) {
    krzlab::LabDescription description = krzlab::LabDescription::defaultLab();
    if (args.size() == 2 && args[0] == "--lab") {
        try {
            description = krzlab::LabDescription::fromFile(args[1]);
        } catch (const std::exception& e) {
            throw UsageError("cannot use the lab description " + args[1] + ": " + e.what());
        }
    } else if (args.size() == 2 && args[0] == "--generated") {
        description = krzlab::LabDescription::generated(generatedCount(args[1]));
    } else if (!args.empty()) {
        throw UsageError("unknown arguments" + std::string(args[0][0] == '-' ? " " : " \"") +
                         args[0] + (args[0][0] == '-' ? "" : "\""));
    }

    krzprocess::holdStopRequests();
    auto lab = krzlab::LabNetwork::create(description);
    krzlab::LabControlServer server(lab, [] { krzprocess::requestStop(); });
    std::cout << "KRZ_LAB=" << server.address() << std::endl;
    krzprocess::waitForStopRequest();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    try {
        if (!args.empty() && (args[0] == "-h" || args[0] == "--help" || args[0] == "help")) {
            std::cout << kHelp;
            return 0;
        }
        if (!args.empty() && args[0] == "--version") {
            std::cout << "krzlab 1.0.0\n";
            return 0;
        }
        if (!args.empty() && args[0] == "ctl")
            return control({args.begin() + 1, args.end()});
        if (!args.empty() && args[0] == "serve")
            return serve({args.begin() + 1, args.end()});
        if (!args.empty() && args[0] == "dump")
            return dump({args.begin() + 1, args.end()});
        return run(args);
    } catch (const UsageError& e) {
        std::cerr << "krzlab: " << e.what() << " ('krzlab --help' explains the usage)\n";
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "krzlab: " << e.what() << "\n";
        return 1;
    }
}
