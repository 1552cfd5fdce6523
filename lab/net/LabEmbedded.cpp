#include "lab/net/LabEmbedded.h"

#include "lab/net/LabDescription.h"
#include "lab/net/LabNetwork.h"

#include "platform/krzprocess.h"

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <system_error>

namespace krzlab {

namespace {

// A process holds the lock for one device request at a time (milliseconds), but many processes may
// queue behind each other, and a scan takes it once per device: under a sanitizer, 40 commands at
// once kept a waiter out for over 5 s. A holder slower than this is stuck, and the device answers
// as unavailable rather than keep its client waiting.
constexpr int kLockWaitMs = 60000;

// The file's identity and change time: a different stamp means another process stored a change.
std::string stampOf(const std::string& path) {
    std::error_code error;
    auto time = std::filesystem::last_write_time(path, error);
    if (error)
        return std::string();
    auto size = std::filesystem::file_size(path, error);
    return std::to_string(time.time_since_epoch().count()) + "/" + std::to_string(error ? 0 : size);
}

// The stored lab: the file when there is one, else `base` (the lab as described, at its start).
LabDescription readStored(const std::string& path, const LabDescription& base) {
    std::error_code error;
    if (!std::filesystem::exists(path, error))
        return base;
    try {
        return LabDescription::fromFile(path);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "krzlab: the saved lab %s cannot be read (%s); starting afresh\n",
                     path.c_str(), e.what());
        return base;
    }
}

bool writeStored(const std::string& path, const LabDescription& lab) {
    return krzprocess::writeFileAtomically(path, lab.toJson().dump(2) + "\n");
}

bool lockStore(krzprocess::FileLock& lock, const std::string& path, std::string& reason) {
    if (lock.acquire(path + ".lock", kLockWaitMs, reason))
        return true;
    reason = "the built-in lab's state " + path + " stayed locked for " +
             std::to_string(kLockWaitMs / 1000) + " seconds (" + reason +
             "); end the krzpap that hangs, or try again";
    return false;
}

class StateStore : public StateKeeper {
  public:
    StateStore(std::string path, LabDescription base)
        : path_(std::move(path)), base_(std::move(base)) {}

    bool transact(const std::string& name,
                  const std::function<bool(DeviceSpec& stored)>& operation) override {
        krzprocess::FileLock lock;
        std::string reason;
        if (!lockStore(lock, path_, reason)) {
            std::fprintf(stderr, "krzlab: %s\n", reason.c_str());
            return false;
        }
        LabDescription now = readStored(path_, base_);
        LabDeviceEntry* entry = find(now, name);
        if (entry == nullptr) {
            // A device the file does not know yet (the description grew): as described.
            LabDeviceEntry* described = find(base_, name);
            if (described == nullptr)
                return false;
            now.devices.push_back(*described);
            entry = &now.devices.back();
        }
        if (!operation(entry->profile))
            return true;
        if (writeStored(path_, now))
            return true;
        std::fprintf(stderr, "krzlab: cannot write the built-in lab's state %s\n", path_.c_str());
        return false;
    }

    LabDescription read() const { return readStored(path_, base_); }
    const std::string& path() const { return path_; }

  private:
    static LabDeviceEntry* find(LabDescription& lab, const std::string& name) {
        for (LabDeviceEntry& entry : lab.devices)
            if (entry.profile.name == name)
                return &entry;
        return nullptr;
    }

    std::string path_;
    LabDescription base_;
};

// The in-process lab as the backend sees it: before it carries anything it takes over what other
// processes stored since it last looked, so that a long-lived host sees their changes too.
class KeptLink : public LabLink {
  public:
    KeptLink(std::shared_ptr<LabNetwork> network, std::shared_ptr<StateStore> store)
        : network_(std::move(network)), store_(std::move(store)) {
        seen_ = stampOf(store_->path());
    }

    std::vector<LabAdapter> adapters() override {
        refresh();
        return network_->adapters();
    }
    uint32_t sendFrame(const std::string& frame, const MacBytes& adapterMac) override {
        refresh();
        return network_->sendFrame(frame, adapterMac);
    }
    bool driverTable(std::map<uint32_t, uint64_t>& table) override {
        return network_->driverTable(table);
    }
    std::vector<HostArpRow> hostTable() override { return network_->hostTable(); }
    Route resolve(uint32_t address, uint16_t port, const MacBytes* interfaceMac,
                  const MacBytes* deviceMac) override {
        refresh();
        return network_->resolve(address, port, interfaceMac, deviceMac);
    }
    bool lookup(uint32_t address, const std::vector<MacBytes>& macs,
                MacBytes& interfaceMac) override {
        refresh();
        return network_->lookup(address, macs, interfaceMac);
    }

  private:
    void refresh() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::string stamp = stampOf(store_->path());
        if (stamp == seen_)
            return;
        seen_ = stamp;
        for (const LabDeviceEntry& entry : store_->read().devices) {
            try {
                Device& device = network_->device(entry.profile.name);
                if (!sameStoredSettings(device.state(), entry.profile))
                    device.adoptState(entry.profile);
            } catch (const std::out_of_range&) {
                // stored by a lab with more devices: not ours
            }
        }
    }

    std::shared_ptr<LabNetwork> network_;
    std::shared_ptr<StateStore> store_;
    std::mutex mutex_;
    std::string seen_;
};

}  // namespace

std::shared_ptr<LabLink> embeddedLab(const std::string& file, const std::string& statePath) {
    LabDescription description =
        file.empty() ? LabDescription::defaultLab() : LabDescription::fromFile(file);
    if (statePath.empty())
        return LabNetwork::create(description);
    auto store = std::make_shared<StateStore>(statePath, description);
    auto network = LabNetwork::create(store->read());
    for (const std::string& name : network->deviceNames())
        network->device(name).setStateKeeper(store);
    return std::make_shared<KeptLink>(network, store);
}

bool holdStoredLab(const std::string& statePath, int timeoutMs) {
    // Held until the process ends, so never destroyed.
    static krzprocess::FileLock* held = new krzprocess::FileLock;
    std::string reason;
    return held->acquire(statePath + ".lock", timeoutMs, reason);
}

bool resetStoredLab(const std::string& statePath, const std::string& name, std::string& reason) {
    krzprocess::FileLock lock;
    if (!lockStore(lock, statePath, reason))
        return false;
    if (name.empty()) {
        if (krzprocess::removeFile(statePath))
            return true;
        reason = "cannot remove " + statePath;
        return false;
    }
    LabDescription lab = readStored(statePath, LabDescription::defaultLab());
    std::string names;
    for (LabDeviceEntry& entry : lab.devices) {
        DeviceSpec& d = entry.profile;
        names += (names.empty() ? "" : ", ") + d.name;
        if (d.name != name)
            continue;
        if (!d.factoryAddress.empty())
            d.address = d.factoryAddress;
        d.username = d.factoryUsername;
        d.password = d.factoryPassword;
        d.wireless = d.factoryWireless;
        d.tlsCertificate.clear();  // the device makes a new one, as after its own reset
        d.tlsKey.clear();
        if (writeStored(statePath, lab))
            return true;
        reason = "cannot write " + statePath;
        return false;
    }
    reason = "the built-in lab has no device \"" + name + "\"; its devices are: " + names;
    return false;
}

}  // namespace krzlab
