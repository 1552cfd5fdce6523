#include "lab/devices/EmulatedDevice.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <chrono>
#include <exception>
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

}  // namespace

EmulatedDevice::EmulatedDevice(const DeviceSpec& profile)
    : spec_(profile), server_([this](int fd) { serveConnection(fd); }) {
    if (profile.restartMs > 0) {
        restartDelayMs_ = profile.restartMs;
    }
}

EmulatedDevice::~EmulatedDevice() {
    stop();
}

void EmulatedDevice::start() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_) {
        return;
    }
    lastPort_ = server_.startListening(lastPort_);
    running_ = true;
}

void EmulatedDevice::serveOn(const std::string& address, uint16_t port) {
    in_addr parsed{};
    if (inet_pton(AF_INET, address.c_str(), &parsed) != 1) {
        throw std::invalid_argument("not an IPv4 address: " + address);
    }
    server_.setAddress(parsed.s_addr);
    std::lock_guard<std::mutex> lock(mutex_);
    lastPort_ = port;
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
    server_.closeConnections();
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
    uint16_t port = lastPort_;
    lock.unlock();
    uint16_t now = 0;
    try {
        now = server_.startListening(port);
    } catch (const std::exception&) {
        now = 0;  // stays away, as a device that failed to boot
    }
    lock.lock();
    if (now != 0) {
        lastPort_ = now;
    }
    restarting_ = false;
    restartChanged_.notify_all();
}

std::vector<std::string> EmulatedDevice::posted() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return posted_;
}

HttpReply EmulatedDevice::handleKept(const HttpRequest& request) {
    if (request.method == "POST") {
        std::lock_guard<std::mutex> lock(mutex_);
        if (posted_.size() == 32)
            posted_.erase(posted_.begin());
        posted_.push_back(request.target);
    }
    std::shared_ptr<StateKeeper> keeper;
    std::string name;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        keeper = keeper_;
        name = spec_.name;
    }
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

void EmulatedDevice::serveConnection(int fd) {
    HttpRequest request;
    ReadOutcome outcome = readRequest(fd, request);
    if (outcome == ReadOutcome::Gone || refuseWhileRestarting(fd)) {
        return;
    }
    DeviceSpec before = state();
    HttpReply reply = outcome == ReadOutcome::Request ? handleKept(request) : badRequest();
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
