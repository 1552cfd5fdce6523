#include "lab/net/LabEmbedded.h"

#include "lab/net/LabDescription.h"
#include "lab/net/LabNetwork.h"

#include "platform/krzprocess.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <system_error>
#include <vector>

namespace krzlab {

namespace {

// A process holds a lock for one device request at a time (milliseconds), but many processes may
// queue behind each other: under a sanitizer, 40 commands at once kept a waiter out for over 5 s.
// A holder slower than this is stuck, and the device answers as unavailable rather than keep its
// client waiting.
constexpr int kLockWaitMs = 60000;

// A device's requests are one at a time across processes, under the lock of its group; the file
// is replaced under the store's lock, held only to write. With one lock for every request of
// every device, ten scans probing thirty devices at once queued a configure's first request
// behind all of theirs, past the two seconds its client waits for a reply.
constexpr unsigned kDeviceLockGroups = 16;

std::string storeLockPath(const std::string& statePath) {
    return statePath + ".lock";
}

std::string groupLockPath(const std::string& statePath, unsigned group) {
    return statePath + ".lock" + std::to_string(group);
}

// FNV-1a, the same in every build, so that every process names the same group.
std::string deviceLockPath(const std::string& statePath, const std::string& name) {
    uint32_t hash = 2166136261u;
    for (unsigned char c : name)
        hash = (hash ^ c) * 16777619u;
    return groupLockPath(statePath, hash % kDeviceLockGroups);
}

// The file's identity and change time: a different stamp means another process stored a change.
std::string stampOf(const std::string& path) {
    std::error_code error;
    auto time = std::filesystem::last_write_time(path, error);
    if (error)
        return std::string();
    auto size = std::filesystem::file_size(path, error);
    return std::to_string(time.time_since_epoch().count()) + "/" + std::to_string(error ? 0 : size);
}

// The file's text, empty when there is none or it cannot be read.
std::string storedText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return in ? content.str() : std::string();
}

// The stored lab read from `text`, the file's; `base` (the lab as described, at its start) when
// there is no file or it cannot be read.
LabDescription parseStored(const std::string& path, const std::string& text,
                           const LabDescription& base) {
    if (text.empty())
        return base;
    std::size_t slash = path.rfind('/');
    try {
        return LabDescription::fromText(text,
                                        slash == std::string::npos ? "." : path.substr(0, slash));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "krzlab: the saved lab %s cannot be read (%s); starting afresh\n",
                     path.c_str(), e.what());
        return base;
    }
}

LabDescription readStored(const std::string& path, const LabDescription& base) {
    return parseStored(path, storedText(path), base);
}

std::string storedForm(const LabDescription& lab) {
    return lab.toJson().dump(2) + "\n";
}

bool writeStored(const std::string& path, const LabDescription& lab) {
    return krzprocess::writeFileAtomically(path, storedForm(lab));
}

bool lockStore(krzprocess::FileLock& lock, const std::string& path, const std::string& lockPath,
               std::string& reason) {
    if (lock.acquire(lockPath, kLockWaitMs, reason))
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
        if (!lockStore(lock, path_, deviceLockPath(path_, name), reason)) {
            std::fprintf(stderr, "krzlab: %s\n", reason.c_str());
            return false;
        }
        // The file is replaced whole, so it reads whole without the store's lock; this device's
        // entry changes only under the lock held now.
        LabDescription now = read();
        LabDeviceEntry* entry = place(now, name);
        if (entry == nullptr)
            return false;
        if (!operation(entry->profile))
            return true;
        return store(name, entry->profile);
    }

    // The stored lab: the file when there is one, else the lab as described at its start. Every
    // request reads it while holding its device's lock, so the last text read is kept parsed.
    LabDescription read() {
        const std::string text = storedText(path_);
        if (text.empty())
            return base_;
        {
            std::lock_guard<std::mutex> lock(cacheMutex_);
            if (text == cachedText_)
                return cached_;
        }
        LabDescription stored = parseStored(path_, text, base_);
        remember(text, stored);
        return stored;
    }
    const std::string& path() const { return path_; }

  private:
    // The device's entry in `lab`; one the file does not know yet (the description grew) is added
    // as described. Null for a name the description does not know.
    LabDeviceEntry* place(LabDescription& lab, const std::string& name) {
        if (LabDeviceEntry* entry = find(lab, name))
            return entry;
        LabDeviceEntry* described = find(base_, name);
        if (described == nullptr)
            return nullptr;
        lab.devices.push_back(*described);
        return &lab.devices.back();
    }

    // Writes the device's changed settings over the file as it is now: other devices' changes
    // since this request read it stay.
    bool store(const std::string& name, const DeviceSpec& changed) {
        krzprocess::FileLock lock;
        std::string reason;
        if (!lockStore(lock, path_, storeLockPath(path_), reason)) {
            std::fprintf(stderr, "krzlab: %s\n", reason.c_str());
            return false;
        }
        LabDescription now = read();
        place(now, name)->profile = changed;
        const std::string text = storedForm(now);
        if (krzprocess::writeFileAtomically(path_, text)) {
            remember(text, now);
            return true;
        }
        std::fprintf(stderr, "krzlab: cannot write the built-in lab's state %s\n", path_.c_str());
        return false;
    }

    static LabDeviceEntry* find(LabDescription& lab, const std::string& name) {
        for (LabDeviceEntry& entry : lab.devices)
            if (entry.profile.name == name)
                return &entry;
        return nullptr;
    }

    void remember(const std::string& text, const LabDescription& lab) {
        std::lock_guard<std::mutex> lock(cacheMutex_);
        cachedText_ = text;
        cached_ = lab;
    }

    std::string path_;
    LabDescription base_;
    std::mutex cacheMutex_;
    std::string cachedText_;  // the file's text that cached_ was read from or written as
    LabDescription cached_;
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
    return held->acquire(storeLockPath(statePath), timeoutMs, reason);
}

bool resetStoredLab(const std::string& statePath, const std::string& name, std::string& reason) {
    // The devices' locks first, as a request takes them: no request that read the settings before
    // the reset writes them back after it.
    std::vector<krzprocess::FileLock> devices(name.empty() ? kDeviceLockGroups : 1);
    for (unsigned group = 0; group < devices.size(); ++group) {
        const std::string path =
            name.empty() ? groupLockPath(statePath, group) : deviceLockPath(statePath, name);
        if (!lockStore(devices[group], statePath, path, reason))
            return false;
    }
    krzprocess::FileLock lock;
    if (!lockStore(lock, statePath, storeLockPath(statePath), reason))
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
