// The recorder behind record: crawls one device's pages within bounds into a recording, logs in
// as a browser would, and tries a change and its restore when asked.
#pragma once

#include "app/DeviceAccess.h"
#include "app/KRZPApp.h"

#include "http/KRZPAPComm.h"
#include "html/KRZPHtmlParser.h"
#include "recording/Recording.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace krzpap {

using krzlab::Exchange;
using krzlab::HeaderList;
using krzlab::Recording;

// A record request as the recorder reads it: the device's address and credentials spelled out.
struct RecordSetup : krzpapp::RecordRequest {
    std::string address;
    std::string user;
    std::string password;
    bool haveUser = false;
    bool havePassword = false;

    static RecordSetup of(const krzpapp::RecordRequest& r);
};

// The changes of a record by module, from its FIELD=VALUE tries (ssid, security, encryption,
// key); throws Error (bad request, field tryChange) for any other field.
krzpapp::ConfigureRequest moduleChangeOf(const std::vector<std::string>& tries);

struct Bounds {
    int pages = 100;
    int depth = 4;
    long long bytes = 32ll << 20;
    int seconds = 120;
};

// Stops the recording with a sentence; what was recorded is still written.
struct Stop {
    krzpapp::ErrorKind code;
    std::string sentence;
};

class Recorder {
    using Clock = std::chrono::steady_clock;

  public:
    Recorder(const krzpapp::RecordRequest& request, krzpapp::Observer* observer)
        : setup_(RecordSetup::of(request)),
          observer_(observer),
          o_(setup_),
          started_(Clock::now()) {
        const RecordSetup& options = setup_;
        bounds_.pages = options.maxPages;
        bounds_.depth = options.maxDepth;
        bounds_.bytes = static_cast<long long>(options.maxKiB) * 1024;
        bounds_.seconds = options.maxSeconds;
    }

    void run();
    void cancel() {
        cancelled_ = true;
        std::lock_guard<std::mutex> lock(commMutex_);
        if (comm_)
            comm_->setCancel(true);
    }
    // The recording as it stands, secrets replaced unless kept; safe from another thread.
    Recording snapshot(bool complete, const std::string& reason);
    int pages() const { return pages_; }
    void setMac(const std::string& mac) {
        std::lock_guard<std::mutex> lock(mutex_);
        recording_.mac = mac;
    }
    // What the module that recognizes the device does, for a record by module: its show and its
    // configure of the device, each a whole operation of the application layer.
    using ShowStep = std::function<krzpapp::Settings()>;
    using ConfigureStep =
        std::function<krzpapp::ConfigureResult(const krzpapp::ConfigureRequest& changes)>;
    // `stop` ends the module's operation in progress, for --max-time.
    void setModuleSteps(ShowStep show, ConfigureStep configure, std::function<void()> stop) {
        show_ = std::move(show);
        configure_ = std::move(configure);
        stopModule_ = std::move(stop);
    }
    // Whether the recording reached its time bound (the module's operation was stopped for it).
    bool outOfTime() const { return outOfTime_; }
    std::string timeBoundReached() const {
        return "the recording reached " + timeBound() + "; what was recorded is written";
    }

  private:
    Exchange request(const std::string& method, const std::string& target, const HeaderList& form,
                     bool multipart, bool credentials);
    Exchange get(const std::string& target, bool credentials) {
        return request("GET", target, {}, false, credentials);
    }
    void login(const Exchange& start);
    bool formLogin(const std::string& pageTarget, const std::string& page);
    void crawl();
    void tryChange();
    // A record by module: every exchange the module's connections complete with the device.
    void runModule();
    void observe(const KRZPAPComm& comm, const std::string& sent, bool cutShort);
    // submitted()'s pairs with each field the page's script fills read as the script fills it;
    // throws Stop, before anything is sent, for one whose value cannot be read.
    HeaderList asFilled(const std::string& page, const KRZPBrowserForm& form, size_t index);
    void waitForDevice(const std::string& target);
    void checkBounds(const std::string& target);
    void progress(const std::string& target);
    void noteSecrets(const Exchange& e);
    std::string timeBound() const {
        return "its time bound of " + std::to_string(bounds_.seconds) + " s (--max-time)";
    }

    RecordSetup setup_;
    krzpapp::Observer* observer_;
    const RecordSetup& o_;
    Bounds bounds_;
    Clock::time_point started_;
    std::atomic<bool> cancelled_{false};
    std::atomic<bool> outOfTime_{false};  // set by the watch on --max-time
    ShowStep show_;
    ConfigureStep configure_;
    std::function<void()> stopModule_;
    bool basicDevice_ = false;  // a record by module: the start page asked for Basic
    std::mutex commMutex_;
    KRZPAPComm* comm_ = nullptr;

    std::mutex mutex_;  // guards what follows, which snapshot() reads
    Recording recording_;
    std::vector<std::pair<std::string, std::string>> secrets_;  // value, kind
    std::vector<std::string> macs_;
    std::string cookie_;
    long long bytes_ = 0;
    int pages_ = 0;
    std::set<std::string> visited_;
    std::deque<std::pair<std::string, int>> queue_;
};

}  // namespace krzpap
