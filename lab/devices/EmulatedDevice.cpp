#include "lab/devices/EmulatedDevice.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <set>
#include <stdexcept>

#include "lab/devices/FaultyWriter.h"

namespace krzlab {

namespace {

// A client that connects and never finishes its request must not hold a thread for long.
constexpr int kRequestTimeoutSeconds = 10;
// After the reply, wait this long for the client's close before closing ourselves.
constexpr int kLingerMs = 2000;

enum class ReadOutcome { Request, Bad, Gone };

ReadOutcome readRequest(int fd, HttpRequest& request) {
    timeval tv{kRequestTimeoutSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::string bytes;
    char buf[4096];
    for (;;) {
        switch (parseRequest(bytes, request)) {
            case ParseResult::Complete:
                return ReadOutcome::Request;
            case ParseResult::Bad:
                return ReadOutcome::Bad;
            case ParseResult::NeedMore:
                break;
        }
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            return ReadOutcome::Gone;
        }
        bytes.append(buf, static_cast<std::size_t>(n));
    }
}

// Half-closes and reads until the client closes too, so that unread request bytes never turn our
// close into a reset that could destroy the reply in flight.
void finish(int fd) {
    ::shutdown(fd, SHUT_WR);
    char buf[1024];
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLingerMs);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            return;
        }
        if (::recv(fd, buf, sizeof buf, 0) <= 0) {
            return;
        }
    }
}

// The HTTPS servers of this process's devices. A host that runs the lab inside itself ends while
// they may still serve (the lab goes with a static at the very end); OpenSSL's own exit handler,
// registered at its first use (before the lab's first HTTPS connection), would pull OpenSSL from
// under a handshake still running. stopServingTls, registered at the first HTTPS connection and
// so run before OpenSSL's handler, ends them first. Never destroyed: used until the last moment.
std::mutex& servingMutex() {
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}
std::set<LoopbackServer*>& serving() {
    static std::set<LoopbackServer*>* servers = new std::set<LoopbackServer*>;
    return *servers;
}
void stopServingTls() {
    std::lock_guard<std::mutex> lock(servingMutex());
    for (LoopbackServer* server : serving()) {
        server->stopListening();
        server->closeConnections();
    }
    serving().clear();
}

// The lab option "https": "true" for 443, or the port number.
uint16_t httpsPortOption(const DeviceSpec& profile) {
    auto it = profile.options.find("https");
    if (it == profile.options.end() || it->second == "false") {
        return 0;
    }
    if (it->second == "true") {
        return 443;
    }
    char* end = nullptr;
    long port = std::strtol(it->second.c_str(), &end, 10);
    if (it->second.empty() || *end != '\0' || port < 1 || port > 65535 || port == 80) {
        throw std::invalid_argument("device " + profile.name +
                                    ": option \"https\" is true, false or a port other than 80");
    }
    return static_cast<uint16_t>(port);
}

std::string plainModeOption(const DeviceSpec& profile, uint16_t httpsPort) {
    auto it = profile.options.find("http");
    std::string mode = it == profile.options.end() || it->second == "serve" ? "" : it->second;
    if (mode != "" && mode != "redirect" && mode != "off") {
        throw std::invalid_argument("device " + profile.name +
                                    ": option \"http\" is \"serve\", \"redirect\" or \"off\"");
    }
    if (!mode.empty() && httpsPort == 0) {
        throw std::invalid_argument("device " + profile.name + ": option \"http\": \"" + mode +
                                    "\" needs option \"https\"");
    }
    return mode;
}

}  // namespace

EmulatedDevice::EmulatedDevice(const DeviceSpec& profile)
    : spec_(profile),
      server_([this](int fd) { serveConnection(fd, false); }),
      tlsServer_([this](int fd) { serveTls(fd); }),
      httpsPort_(httpsPortOption(profile)),
      plainMode_(plainModeOption(profile, httpsPort_)) {
    if (profile.restartMs > 0) {
        restartDelayMs_ = profile.restartMs;
    }
    if (httpsPort_ != 0) {
        std::lock_guard<std::mutex> lock(servingMutex());
        serving().insert(&tlsServer_);
    }
}

EmulatedDevice::~EmulatedDevice() {
    {
        std::lock_guard<std::mutex> lock(servingMutex());
        serving().erase(&tlsServer_);
    }
    stop();
}

void EmulatedDevice::start() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_) {
        return;
    }
    startListening();
    running_ = true;
}

void EmulatedDevice::startListening() {
    lastPort_ = server_.startListening(lastPort_);
    if (httpsPort_ != 0) {
        lastTlsPort_ = tlsServer_.startListening(lastTlsPort_);
    }
}

void EmulatedDevice::serveOn(const std::string& address, uint16_t port) {
    in_addr parsed{};
    if (inet_pton(AF_INET, address.c_str(), &parsed) != 1) {
        throw std::invalid_argument("not an IPv4 address: " + address);
    }
    server_.setAddress(parsed.s_addr);
    tlsServer_.setAddress(parsed.s_addr);
    std::lock_guard<std::mutex> lock(mutex_);
    lastPort_ = port;
    lastTlsPort_ = port == 0 ? 0 : httpsPort_;  // port 0: free ones for both
}

void EmulatedDevice::stop() {
    std::thread restarter;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = false;
        cancelRestart_ = true;
        restarter = std::move(restarter_);
    }
    restartChanged_.notify_all();
    if (restarter.joinable()) {
        restarter.join();
    }
    server_.stopListening();
    tlsServer_.stopListening();
    // The device's side first: an HTTPS connection's relay ends when its device side does.
    server_.closeConnections();
    tlsServer_.closeConnections();
    std::lock_guard<std::mutex> lock(mutex_);
    if (pending_) {
        spec_.adoptSettings(*pending_);  // a saved change survives a switch-off
        pending_.reset();
    }
    cancelRestart_ = false;
    restarting_ = false;
    restartChanged_.notify_all();
}

bool EmulatedDevice::running() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return running_;
}

uint16_t EmulatedDevice::port() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return running_ ? server_.port() : 0;
}

uint16_t EmulatedDevice::endpointFor(uint16_t devicePort) const {
    std::lock_guard<std::mutex> lock(mutex_);
    uint16_t plain = running_ ? server_.port() : 0;
    if (devicePort == 80) {
        return plainMode_ == "off" ? 0 : plain;
    }
    // Away while the device reboots, as its port 80 is.
    return devicePort == httpsPort_ && plain != 0 ? tlsServer_.port() : 0;
}

uint16_t EmulatedDevice::httpsPort() const {
    return httpsPort_;
}

unsigned EmulatedDevice::requestsRead() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requestsRead_;
}

DeviceSpec EmulatedDevice::state() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return spec_;
}

void EmulatedDevice::setFault(Fault fault, int faultParam) {
    std::lock_guard<std::mutex> lock(mutex_);
    spec_.fault = fault;
    spec_.faultParam = faultParam;
}

void EmulatedDevice::factoryReset() {
    std::string moved;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        moved = resetLocked();
    }
    if (!moved.empty()) {
        announceAddress(moved);
    }
}

void EmulatedDevice::setAddressListener(std::function<void(const std::string&)> listener) {
    std::lock_guard<std::mutex> lock(mutex_);
    addressListener_ = std::move(listener);
}

void EmulatedDevice::adoptState(const DeviceSpec& stored) {
    bool moved = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        moved = spec_.adoptSettings(stored);
    }
    if (moved) {
        announceAddress(stored.address);
    }
}

void EmulatedDevice::setStateKeeper(std::shared_ptr<StateKeeper> keeper) {
    std::lock_guard<std::mutex> lock(mutex_);
    keeper_ = std::move(keeper);
}

void EmulatedDevice::setRestartDelay(int ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    restartDelayMs_ = ms;
}

bool EmulatedDevice::restarting() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return restarting_;
}

bool EmulatedDevice::waitWhileRestarting(int timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return restartChanged_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                    [this] { return !restarting_; });
}

HttpReply EmulatedDevice::badRequest() {
    HttpReply reply;
    reply.status = 400;
    reply.reason = "Bad Request";
    reply.headers.emplace_back("Content-Type", "text/html");
    reply.body = "<html><body><h1>400 Bad Request</h1></body></html>\n";
    return reply;
}

std::string EmulatedDevice::resetLocked() {
    bool moved = !spec_.factoryAddress.empty() && spec_.factoryAddress != spec_.address;
    if (!spec_.factoryAddress.empty()) {
        spec_.address = spec_.factoryAddress;
    }
    spec_.username = spec_.factoryUsername;
    spec_.password = spec_.factoryPassword;
    spec_.wireless = spec_.factoryWireless;
    spec_.tlsCertificate.clear();  // a new one at the next HTTPS connection, as at first boot
    spec_.tlsKey.clear();
    resetExtras();
    return moved ? spec_.address : std::string();
}

void EmulatedDevice::announceAddress(const std::string& address) {
    std::function<void(const std::string&)> listener;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        listener = addressListener_;
    }
    if (listener) {
        listener(address);
    }
}

void EmulatedDevice::rebootSoon() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!running_ || restarting_) {
            return;
        }
        restarting_ = true;
        onReboot();
        if (restarter_.joinable()) {
            restarter_.join();  // the previous reboot's thread, already past its last step
        }
    }
    if (!keepsListening()) {
        server_.stopListening();
        tlsServer_.stopListening();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_) {
        return;  // switched off meanwhile: stop() has settled the rest
    }
    restarter_ = std::thread(&EmulatedDevice::comeBackLater, this);
}

void EmulatedDevice::comeBackLater() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (restartChanged_.wait_for(lock, std::chrono::milliseconds(restartDelayMs_),
                                 [this] { return cancelRestart_; })) {
        return;
    }
    if (keepsListening()) {
        if (pending_) {
            spec_.adoptSettings(*pending_);
            pending_.reset();
        }
        restarting_ = false;
        restartChanged_.notify_all();
        return;
    }
    uint16_t port = lastPort_, tlsPort = lastTlsPort_;
    lock.unlock();
    uint16_t now = 0, tlsNow = 0;
    try {
        now = server_.startListening(port);
        tlsNow = httpsPort_ != 0 ? tlsServer_.startListening(tlsPort) : 0;
    } catch (const std::exception&) {
        // stays away (in part), as a device that failed to boot
    }
    lock.lock();
    if (now != 0) {
        lastPort_ = now;
    }
    if (tlsNow != 0) {
        lastTlsPort_ = tlsNow;
    }
    restarting_ = false;
    restartChanged_.notify_all();
}

std::vector<std::string> EmulatedDevice::posted() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return posted_;
}

std::shared_ptr<StateKeeper> EmulatedDevice::keeperAndName(std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    name = spec_.name;
    return keeper_;
}

HttpReply EmulatedDevice::handleKept(const HttpRequest& request) {
    if (request.method == "POST") {
        std::lock_guard<std::mutex> lock(mutex_);
        if (posted_.size() == 32)
            posted_.erase(posted_.begin());
        posted_.push_back(request.target);
    }
    std::string name;
    std::shared_ptr<StateKeeper> keeper = keeperAndName(name);
    if (!keeper) {
        return handle(request);
    }
    HttpReply reply;
    bool ran = false;
    DeviceSpec before;
    bool kept = keeper->transact(name, [&](DeviceSpec& stored) {
        adoptState(stored);
        before = state();
        ran = true;
        reply = handle(request);
        DeviceSpec after = state();
        if (sameStoredSettings(before, after)) {
            return false;
        }
        stored = after;
        return true;
    });
    if (kept) {
        return reply;
    }
    if (ran) {
        adoptState(before);  // a change that could not be stored did not happen
    }
    HttpReply busy;
    busy.status = 503;
    busy.reason = "Service Unavailable";
    busy.headers.emplace_back("Content-Type", "text/plain");
    busy.body = "The device could not keep its settings; try again.\n";
    return busy;
}

bool EmulatedDevice::refuseWhileRestarting(int fd) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!restarting_) {
            return false;
        }
    }
    if (spec_.restart == "reset") {
        linger hard{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);  // the close resets
    } else {
        finish(fd);
    }
    return true;
}

std::string EmulatedDevice::httpsLocation(const HttpRequest& request, bool alwaysPort) const {
    const std::string* asked = request.header("Host");
    std::string host;
    if (asked != nullptr && !asked->empty()) {
        size_t end = (*asked)[0] == '[' ? asked->find(']') : asked->find(':');
        host = end == std::string::npos ? *asked : asked->substr(0, end + ((*asked)[0] == '['));
    } else {
        std::lock_guard<std::mutex> lock(mutex_);
        host = spec_.address;
    }
    std::string port = alwaysPort || httpsPort_ != 443 ? ":" + std::to_string(httpsPort_) : "";
    return "https://" + host + port + request.target;
}

HttpReply EmulatedDevice::httpsRedirect(const HttpRequest& request) {
    HttpReply reply;
    reply.status = 301;
    reply.reason = "Moved Permanently";
    std::string location = httpsLocation(request, false);
    reply.headers.emplace_back("Location", location);
    reply.headers.emplace_back("Content-Type", "text/html");
    reply.body = "<html><body>This page has moved to <a href=\"" + location + "\">" + location +
                 "</a>.</body></html>\n";
    return reply;
}

std::shared_ptr<const TlsIdentity> EmulatedDevice::tlsIdentity() {
    auto ensure = [](DeviceSpec& device) {
        if (!device.tlsCertificate.empty()) {
            return false;
        }
        makeDeviceCertificate(device.tlsCertificate, device.tlsKey);
        return true;
    };
    std::string name;
    if (std::shared_ptr<StateKeeper> keeper = keeperAndName(name)) {
        keeper->transact(name, [&](DeviceSpec& stored) {
            bool made = ensure(stored);
            adoptState(stored);
            return made;
        });
    } else {
        std::lock_guard<std::mutex> lock(mutex_);
        ensure(spec_);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (spec_.tlsCertificate.empty()) {
        return nullptr;  // the store could not be had: no handshake without a certificate
    }
    if (!identity_ || identity_->certificatePem() != spec_.tlsCertificate) {
        try {
            identity_ = std::make_shared<const TlsIdentity>(spec_.tlsCertificate, spec_.tlsKey);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "krzlab: device %s: %s\n", spec_.name.c_str(), e.what());
            return nullptr;
        }
    }
    return identity_;
}

void EmulatedDevice::serveTls(int fd) {
    static std::once_flag registered;
    std::call_once(registered, [] { std::atexit(stopServingTls); });
    std::shared_ptr<const TlsIdentity> identity = tlsIdentity();
    if (identity) {
        identity->serve(fd, [this](int plainFd) {
            server_.adopt(plainFd, [this](int f) { serveConnection(f, true); });
        });
    }
}

void EmulatedDevice::serveConnection(int fd, bool overTls) {
    HttpRequest request;
    ReadOutcome outcome = readRequest(fd, request);
    if (outcome == ReadOutcome::Gone || refuseWhileRestarting(fd)) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++requestsRead_;
    }
    DeviceSpec before = state();
    HttpReply reply = outcome != ReadOutcome::Request        ? badRequest()
                      : !overTls && plainMode_ == "redirect" ? httpsRedirect(request)
                                                             : handleKept(request);
    Fault fault;
    int param;
    unsigned serial;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (restarting_ && keepsListening() && !pending_) {
            // The save is taken; it applies when the reboot is over.
            pending_.reset(new DeviceSpec(spec_));
            spec_.adoptSettings(before);
        }
        fault = spec_.fault;
        param = spec_.faultParam;
        serial = replySerial_++;
    }
    std::string bytes = encodeReply(reply);
    if (reply.cutAfter < bytes.size()) {
        bytes.resize(reply.cutAfter);
    }
    writeReply(fd, bytes, fault, param, serial, [this](int ms) { return server_.pause(ms); });
    finish(fd);
    if (reply.afterClose) {
        reply.afterClose();
    }
}

}  // namespace krzlab
