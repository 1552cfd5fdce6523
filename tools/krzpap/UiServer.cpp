// krzpap ui: the device commands as a page in the user's own browser, served on loopback
// (UiHttp). The page's requests start one operation at a time on a worker thread (scan, show,
// configure, find, defaults) through the same steps and sentences as the commands; the page polls
// the operation's progress, and an operation whose page stopped asking is cancelled.
#include "Cli.h"
#include "DeviceJson.h"
#include "PageRequests.h"
#include "UiHar.h"
#include "UiHttp.h"
#include "UiServer.h"

#include "app/KRZPApp.h"
#include "core/KRZPAPModule.h"
#include "krznetlib/KRZAdapterInfo.h"
#include "platform/krzplatform.h"
#include "platform/krzprocess.h"

#include <boost/make_shared.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <iostream>
#include <memory>
#include <thread>
#include <tuple>

namespace krzpap {

namespace {

using Clock = std::chrono::steady_clock;

// A running operation whose page has not asked after it for this long was left by its tab.
constexpr auto kAbandonedAfter = std::chrono::seconds(3);

struct Job;

// What the page hears while an operation runs: its step, and a scan's devices as they are found.
class JobHeard : public krzpapp::Observer {
  public:
    explicit JobHeard(Job& job) : job_(job) {}
    void step(const std::string& what) override;
    void found(const krzpapp::Device& device) override {
        std::lock_guard<std::mutex> lock(mutex);
        devices.push_back(device);
        answered += device.arpOnly ? 0 : 1;
    }

    std::mutex mutex;  // never taken inside the job's (status() takes them the other way)
    std::vector<krzpapp::Device> devices;
    int answered = 0;

  private:
    Job& job_;
};

// One operation the page started, and what it has to tell.
struct Job {
    int id = 0;
    std::string kind;
    PageRequest request;
    CancelHook cancel;
    std::shared_ptr<JobHeard> tap;  // a scan's devices as they are found
    std::mutex mutex;
    bool done = false;
    std::string step;  // what it does now, for the page
    nlohmann::json result;
    std::string error;
    int code = EXIT_OK;
    std::string gateway;        // a scan's: this computer's router, dotted; empty: none known
    std::string field;          // the request's field that a refusal concerns, if one does
    bool secretsTaken = false;  // the page has had the result's keys and passwords
    Clock::time_point lastAsked = Clock::now();
    std::optional<CertificateChange> certificate;  // the device showed another certificate
};

void JobHeard::step(const std::string& what) {
    std::lock_guard<std::mutex> lock(job_.mutex);
    job_.step = what;
}

// The layer's cancel, reached through the job's for as long as the layer runs the job.
class CancelThrough {
  public:
    CancelThrough(Job& job, krzpapp::Application& app) : job_(job) {
        job_.cancel.set([&app] { app.cancel(); });
    }
    ~CancelThrough() { job_.cancel.set(nullptr); }
    CancelThrough(const CancelThrough&) = delete;
    CancelThrough& operator=(const CancelThrough&) = delete;

  private:
    Job& job_;
};

// A result as it may be told again: the keys and passwords in it dropped (null).
nlohmann::json withoutSecrets(nlohmann::json result) {
    if (!result.is_object())
        return result;
    auto device = result.find("device");
    if (device != result.end() && device->is_object() && device->contains("key"))
        (*device)["key"] = nullptr;
    auto changes = result.find("changes");
    if (changes != result.end() && changes->is_array())
        for (nlohmann::json& change : *changes)
            if (change.value("setting", "") == "key" || change.value("setting", "") == "password")
                change["value"] = nullptr;
    return result;
}

class UiHost {
  public:
    UiHost(const Globals& globals, const UiOptions& options);
    ~UiHost();
    [[noreturn]] void run();

  private:
    void setUpRoutes();
    void start(const std::string& request, int& code, std::string& reply, const std::string& kind);
    void work(const std::shared_ptr<Job>& job);
    void runScan(Job& job);
    void runTrust(Job& job, const PageRequest& asked);
    void runShow(Job& job, const DeviceOptions& device);
    void runConfigure(Job& job, const DeviceOptions& device, const ConfigureOptions& o);
    void runFind(Job& job, const std::vector<std::string>& macs);
    nlohmann::json status(Job& job);
    std::shared_ptr<Job> currentJob();
    [[noreturn]] void stop();
    void watchAbandoned();
    void openBrowser(const std::string& url);

    Globals globals_;
    UiOptions options_;
    UiHttp http_;
    std::string openerFile_;

    std::mutex jobMutex_;
    std::shared_ptr<Job> job_;
    std::thread worker_;
    int nextJob_ = 1;

    std::mutex stopMutex_;
    std::condition_variable stopped_;
    bool stopping_ = false;
    std::thread watchdog_;
};

UiHost::UiHost(const Globals& globals, const UiOptions& options)
    : globals_(globals), options_(options) {
    // The page hides keys and passwords until the user asks; it needs them to show them.
    globals_.showSecrets = true;
}

UiHost::~UiHost() {
    {
        std::lock_guard<std::mutex> lock(stopMutex_);
        stopping_ = true;
    }
    stopped_.notify_all();
    if (watchdog_.joinable())
        watchdog_.join();
    if (!openerFile_.empty())
        krzprocess::removeFile(openerFile_);
}

std::shared_ptr<Job> UiHost::currentJob() {
    std::lock_guard<std::mutex> lock(jobMutex_);
    return job_;
}

void UiHost::setUpRoutes() {
    for (const char* kind : {"scan", "show", "configure", "find", "defaults", "trust"}) {
        std::string name = kind;
        http_.post("/api/" + name,
                   [this, name](const std::string& request, int& code, std::string& reply) {
                       start(request, code, reply, name);
                   });
    }
    http_.get("/api/job", [this](const std::string&, int&, std::string& reply) {
        std::shared_ptr<Job> job = currentJob();
        nlohmann::json answer = job ? status(*job) : nlohmann::json{{"id", 0}, {"done", true}};
        reply = answer.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    });
    http_.post("/api/cancel", [this](const std::string&, int&, std::string& reply) {
        std::shared_ptr<Job> job = currentJob();
        if (job)
            job->cancel.fire();
        reply = "{}";
    });
    addHarRoutes(http_);
    http_.onSecretSpent([this] {
        if (!openerFile_.empty())
            krzprocess::removeFile(openerFile_);
    });
}

nlohmann::json UiHost::status(Job& job) {
    std::lock_guard<std::mutex> lock(job.mutex);
    job.lastAsked = Clock::now();
    nlohmann::json answer = {{"id", job.id},
                             {"kind", job.kind},
                             {"done", job.done},
                             {"step", job.step},
                             {"code", job.code},
                             {"cancelled", job.cancel.fired()},
                             {"result", withoutSecrets(job.result)},
                             {"error", orNull(job.error)},
                             {"field", orNull(job.field)},
                             {"certificate", nullptr}};
    if (job.certificate)
        answer["certificate"] = {{"address", job.certificate->address},
                                 {"trusted", job.certificate->trusted},
                                 {"shown", job.certificate->shown}};
    // Only the page asks here (the server wants its token), and it hears a finished job's keys
    // and passwords once: afterwards the result holds them no more.
    if (job.done && !job.secretsTaken) {
        answer["result"] = job.result;
        job.result = withoutSecrets(job.result);
        job.secretsTaken = true;
    }
    if (job.tap && !job.done) {
        std::lock_guard<std::mutex> tapLock(job.tap->mutex);
        answer["result"] = {{"devices", scanDevicesJson(job.tap->devices, true)},
                            {"answered", job.tap->answered}};
    }
    if (job.kind == "scan" && answer["result"].is_object())
        answer["result"]["gateway"] = orNull(job.gateway);
    return answer;
}

void UiHost::start(const std::string& request, int& code, std::string& reply,
                   const std::string& kind) {
    PageRequest asked;
    try {
        asked = readPageRequest(kind, nlohmann::json::parse(request, nullptr, false));
    } catch (const PageRequestError& e) {
        code = 400;
        reply = nlohmann::json{{"error", e.what()}, {"field", orNull(e.field())}}.dump(
            -1, ' ', false, nlohmann::json::error_handler_t::replace);
        return;
    }
    std::lock_guard<std::mutex> lock(jobMutex_);
    if (job_) {
        std::lock_guard<std::mutex> jobLock(job_->mutex);
        if (!job_->done) {
            code = 409;
            reply = nlohmann::json{{"error",
                                    "another operation is still running; wait for it "
                                    "or cancel it"}}
                        .dump();
            return;
        }
    }
    if (worker_.joinable())
        worker_.join();
    auto job = std::make_shared<Job>();
    job->id = nextJob_++;
    job->kind = kind;
    job->request = std::move(asked);
    job_ = job;
    worker_ = std::thread([this, job] { work(job); });
    reply = nlohmann::json{{"id", job->id}}.dump();
}

// Runs one operation on the worker thread; its failure is the command's sentence.
void UiHost::work(const std::shared_ptr<Job>& job) {
    std::string error;
    int code = EXIT_OK;
    takeCertificateChange();  // one an earlier operation met is not this one's
    const PageRequest& asked = job->request;
    try {
        if (job->kind == "scan")
            runScan(*job);
        else if (job->kind == "show")
            runShow(*job, asked.device);
        else if (job->kind == "configure")
            runConfigure(*job, asked.device, asked.configure);
        else if (job->kind == "find")
            runFind(*job, asked.macs);
        else if (job->kind == "trust")
            runTrust(*job, asked);
        else {
            const DefaultsOptions& o = asked.defaults;
            nlohmann::json judged = defaultsJson(
                krzpapp::Application().defaults({o.ssid, o.bssid, o.channel, o.privacy, o.rsn}));
            std::lock_guard<std::mutex> lock(job->mutex);
            job->result = judged;
        }
    } catch (const krzpapp::Error& e) {
        code = exitCodeOf(e.kind());
        error = sentenceOf(e, Audience::Page, globals_);
        {
            std::lock_guard<std::mutex> lock(job->mutex);
            job->field = e.field();
            job->certificate = takeCertificateChange();
        }
        // A cancelled step fails in its own way; once cancelled, that is the cancel.
        if (job->cancel.fired() || e.kind() == krzpapp::ErrorKind::Cancelled) {
            code = EXIT_CANCELLED;
            error = std::string("cancelled") + (job->kind == "configure" ? kMayHoldChanges : "");
        }
    } catch (const CommandError& e) {
        code = e.code();
        error = e.what();
        if (job->cancel.fired()) {
            code = EXIT_CANCELLED;
            error = std::string("cancelled") + (job->kind == "configure" ? kMayHoldChanges : "");
        }
    } catch (const std::exception& e) {
        code = EXIT_ERROR;
        error = std::string("unexpected failure: ") + escapeText(e.what()) +
                " (a module library may have failed; the log has the steps before it)";
    }
    std::lock_guard<std::mutex> lock(job->mutex);
    if (!error.empty()) {
        job->error = error;
        job->code = code;
    } else if (job->code == EXIT_OK && job->cancel.fired()) {
        job->code = EXIT_CANCELLED;
    }
    job->done = true;
    job->step.clear();
}

// What 'krzpap trust' does, for the device the page asked about: pins the certificate it shows
// now, only if that is still the one the person was shown.
void UiHost::runTrust(Job& job, const PageRequest& asked) {
    Trusted pinned = trustDevice(asked.device.address, 0, asked.sha256);
    std::lock_guard<std::mutex> lock(job.mutex);
    job.result = {{"sha256", pinned.sha256}, {"replaced", orNull(pinned.replaced)}};
}

void UiHost::runScan(Job& job) {
    auto heard = std::make_shared<JobHeard>(job);
    in_addr router;
    router.s_addr = htonl(static_cast<uint32_t>(KRZAdapterInfo::getDefaultGateway()));
    {
        std::lock_guard<std::mutex> lock(job.mutex);
        job.tap = heard;
        job.gateway = router.s_addr == 0 ? std::string() : dotted(router);
    }
    krzpapp::Application app(heard.get());
    krzpapp::ScanResult r;
    {
        CancelThrough cancel(job, app);
        r = app.scan(krzpapp::ScanRequest());
    }
    // A module whose recognizer threw was skipped; the page says which, as the command does.
    const std::string failedModules = recognizerFailuresText(r.recognizerFailures, Audience::Page);
    const std::string shortfall = scanShortfall(r, Audience::Page);
    std::lock_guard<std::mutex> lock(job.mutex);
    job.result = {{"devices", scanDevicesJson(r.devices, true)},
                  {"answered", r.answered},
                  {"recognized", r.recognized},
                  {"failedModules", failedModules}};
    job.tap.reset();
    if (job.cancel.fired() || r.cancelled) {
        job.code = EXIT_CANCELLED;
        job.error = "cancelled (interrupted: the rest of the network was not scanned)";
    } else if (!shortfall.empty()) {
        job.code = EXIT_NOTHING_FOUND;
        job.error = shortfall;
    } else if (r.recognized == 0) {
        job.code = EXIT_NOTHING_FOUND;
    }
}

void UiHost::runShow(Job& job, const DeviceOptions& asked) {
    krzpapp::DeviceRequest device = deviceRequest(asked);
    JobHeard heard(job);
    krzpapp::Application app(&heard);
    krzpapp::Settings s;
    {
        CancelThrough cancel(job, app);
        s = app.show(device);
    }
    nlohmann::json shown = shownJson(globals_, s);
    shown["description"] = s.device.description;
    shown["limits"] = {{"username", {s.minUsername, s.maxUsername}},
                       {"password", {s.minPassword, s.maxPassword}}};
    std::lock_guard<std::mutex> lock(job.mutex);
    job.result = {{"device", shown}};
}

void UiHost::runConfigure(Job& job, const DeviceOptions& asked, const ConfigureOptions& o) {
    krzpapp::DeviceRequest device = deviceRequest(asked);
    krzpapp::ConfigureRequest changes = configureRequest(o);
    JobHeard heard(job);
    krzpapp::Application app(&heard);
    krzpapp::ConfigureResult result;
    {
        CancelThrough cancel(job, app);
        result = app.configure(device, changes);
    }
    std::string notKept = changesNotKept(result);
    std::lock_guard<std::mutex> lock(job.mutex);
    job.result = {{"device", settingsJson(globals_, result.device)},
                  {"changes", changesJson(globals_, result.changes)}};
    if (!notKept.empty()) {
        job.error = notKept;
        job.code = EXIT_ERROR;
    }
}

void UiHost::runFind(Job& job, const std::vector<std::string>& macs) {
    JobHeard heard(job);
    krzpapp::Application app(&heard);
    std::vector<krzpapp::Sighting> results;
    {
        CancelThrough cancel(job, app);
        results = app.find(macs);
    }
    size_t located = 0;
    for (const krzpapp::Sighting& r : results)
        located += r.found ? 1 : 0;
    std::lock_guard<std::mutex> lock(job.mutex);
    job.result = {{"results", findResultsJson(results)}};
    if (located < results.size()) {
        job.code = EXIT_NOTHING_FOUND;
        job.error = findShortfall(located, results.size());
    }
}

// A tab that was closed stops asking after its operation: the operation is then cancelled.
void UiHost::watchAbandoned() {
    std::unique_lock<std::mutex> lock(stopMutex_);
    while (!stopped_.wait_for(lock, std::chrono::milliseconds(500), [this] { return stopping_; })) {
        std::shared_ptr<Job> job = currentJob();
        if (!job)
            continue;
        bool abandoned = false;
        {
            std::lock_guard<std::mutex> jobLock(job->mutex);
            abandoned = !job->done && Clock::now() - job->lastAsked > kAbandonedAfter;
        }
        if (abandoned && !job->cancel.fired()) {
            KRZPAPModule::log(KRZ_LOG_TRACE, L"krzpap ui: the page left its %hs; cancelling it\n",
                              job->kind.c_str());
            job->cancel.fire();
        }
    }
}

// The browser is given a file that forwards to the address, so that the secret appears in no
// other process's command line (which other users of the machine can read).
void UiHost::openBrowser(const std::string& url) {
    std::string reason;
    openerFile_ = stateFolder() + "ui-open.html";
    std::string page =
        "<!DOCTYPE html><meta charset=\"utf-8\"><meta http-equiv=\"refresh\" "
        "content=\"0; url=" +
        url + "\"><title>krzpap</title>";
    if (!krzprocess::writeFileAtomically(openerFile_, page)) {
        openerFile_.clear();
        return;
    }
    std::string failure = krzprocess::openWithDesktop(openerFile_);
    if (!failure.empty())
        std::cerr << "krzpap: could not open a browser (" << failure
                  << "); open the address above in one\n";
}

void UiHost::run() {
    setUpRoutes();
    if (http_.bind(options_.port) == 0) {
        throw CommandError(EXIT_UNREACHABLE,
                           "cannot listen on 127.0.0.1:" + std::to_string(options_.port) +
                               " (another program may use that port); give another with "
                               "--port, or leave it out for a free one");
    }
    std::string url = http_.url();
    std::cout << url << std::endl;
    if (!globals_.quiet)
        std::cerr << "krzpap: the page is at the address above (it opens once); Ctrl-C ends "
                     "the server\n";
    http_.start();
    watchdog_ = std::thread([this] { watchAbandoned(); });
    if (options_.open)
        openBrowser(url);
    krzprocess::waitForStopRequest();
    stop();
}

// Ctrl-C: the operation is cancelled and the server stops; whatever has not ended a moment later
// is left behind (the lab's state is written whole or not at all). Like Ctrl-C in any command,
// the run ends as cancelled.
void UiHost::stop() {
    std::shared_ptr<Job> job = currentJob();
    if (job)
        job->cancel.fire();
    std::atomic<bool> serverStopped{false};
    std::thread stopper([this, &serverStopped] {
        http_.stop();
        serverStopped = true;
    });
    auto deadline = Clock::now() + std::chrono::milliseconds(150);
    while (Clock::now() < deadline) {
        bool idle = true;
        if (job) {
            std::lock_guard<std::mutex> jobLock(job->mutex);
            idle = job->done;
        }
        if (idle && serverStopped)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!openerFile_.empty())
        krzprocess::removeFile(openerFile_);
    if (!globals_.quiet)
        std::cerr << "krzpap: the server has ended\n";
    krzprocess::exitNow(EXIT_CANCELLED);
}

}  // namespace

int runUiCommand(const Globals& globals, const UiOptions& options) {
    initLibrary(globals);
    UiHost host(globals, options);
    host.run();
}

}  // namespace krzpap
