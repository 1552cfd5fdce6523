// krzpap ui: the device commands as a page in the user's own browser, served on loopback
// (UiHttp). The page's requests start one operation at a time on a worker thread (scan, show,
// configure, find, defaults) through the same steps and sentences as the commands; the page polls
// the operation's progress, and an operation whose page stopped asking is cancelled.
#include "Cli.h"
#include "DeviceWork.h"
#include "PageRequests.h"
#include "UiHttp.h"
#include "UiServer.h"

#include "core/KRZPAPModule.h"
#include "krznetlib/KRZAdapterInfo.h"
#include "lab/recording/Recording.h"
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

// One operation the page started, and what it has to tell.
struct Job {
    int id = 0;
    std::string kind;
    PageRequest request;
    CancelHook cancel;
    std::shared_ptr<ScanTap> tap;  // a scan's devices as they are found
    ScanOptions scanOptions;
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
};

// The field a refusal by `check` concerns: the first setting that is refused when asked alone
// (the sentence stays the command's; the page marks the field).
std::string refusedField(const ConfigureOptions& o,
                         const std::function<void(const ConfigureOptions&)>& check) {
    ConfigureOptions ssid, security, user, password;
    ssid.haveSsid = o.haveSsid;
    ssid.ssid = o.ssid;
    security.security = o.security;
    security.encryption = o.encryption;
    security.haveKey = o.haveKey;
    security.key = o.key;
    user.haveNewUser = o.haveNewUser;
    user.newUser = o.newUser;
    password.haveNewPassword = o.haveNewPassword;
    password.newPassword = o.newPassword;
    const bool securityAsked = !o.security.empty() || !o.encryption.empty() || o.haveKey;
    const std::tuple<bool, const char*, const ConfigureOptions&> alone[] = {
        {o.haveSsid, "ssid", ssid},
        {securityAsked, o.security.empty() ? "security" : "key", security},
        {o.haveNewUser, "newUser", user},
        {o.haveNewPassword, "newPassword", password}};
    for (const auto& [asked, field, options] : alone) {
        try {
            if (asked)
                check(options);
        } catch (const CommandError&) {
            return field;
        }
    }
    return "";
}

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

// The steps' sentences name the command line's options; the page names its own fields instead.
// Longer phrases come first, so that a phrase is replaced whole before its options are.
std::string inPageTerms(std::string sentence) {
    static const std::pair<const char*, const char*> kTerms[] = {
        {"give --ssid, --security with --key, or --new-user/--new-password",
         "fill in the network name, a security mode with its key, or a new administrator user "
         "name or password"},
        {"--key needs --security: say which mode the key is for, e.g. --security wpa2-psk --key "
         "PASSPHRASE",
         "a wireless key needs a security mode: choose the mode the key is for"},
        {"--encryption needs --security", "an encryption needs a security mode"},
        {"; try again, or give a longer --timeout where the command has one", "; try again"},
        {"leave out --new-user", "leave the new administrator user name empty"},
        {"with --user and --password", "in User name and Password"},
        {"with --mac", "in MAC"},
        {"(--modules, or the setting", "('krzpap ui --modules LIST', or the setting"},
        {"--modules", "'krzpap ui --modules LIST'"},
        {"--security ", "security "},
        {" needs --key", " needs a wireless key"},
    };
    for (const auto& [option, field] : kTerms)
        krzlab::replaceAll(sentence, option, field);
    return sentence;
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
    for (const char* kind : {"scan", "show", "configure", "find", "defaults"}) {
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
                             {"field", orNull(job.field)}};
    // Only the page asks here (the server wants its token), and it hears a finished job's keys
    // and passwords once: afterwards the result holds them no more.
    if (job.done && !job.secretsTaken) {
        answer["result"] = job.result;
        job.result = withoutSecrets(job.result);
        job.secretsTaken = true;
    }
    if (job.tap && !job.done) {
        std::lock_guard<std::mutex> tapLock(job.tap->mutex);
        answer["result"] = {
            {"devices", scanDevicesJson(job.scanOptions, *job.tap, job.tap->recognized)},
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
        else {
            nlohmann::json judged = judgeDefaults(asked.defaults);
            std::lock_guard<std::mutex> lock(job->mutex);
            job->result = judged;
        }
    } catch (const CommandError& e) {
        code = e.code();
        error = inPageTerms(e.what());
        if (code == EXIT_LOGIN_FAILED) {
            std::lock_guard<std::mutex> lock(job->mutex);
            job->field = "password";
        }
        // A cancelled step fails in its own way; once cancelled, that is the cancel.
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

void UiHost::runScan(Job& job) {
    job.scanOptions.all = true;  // the page shows the others on request
    job.tap = std::make_shared<ScanTap>();
    ScanObserverScope observing(job.tap);
    job.cancel.set([] { KRZPAPScanner::cancelScan(); });
    in_addr router;
    router.s_addr = htonl(static_cast<uint32_t>(KRZAdapterInfo::getDefaultGateway()));
    {
        std::lock_guard<std::mutex> lock(job.mutex);
        job.step = "sweeping the network";
        job.gateway = router.s_addr == 0 ? std::string() : dotted(router);
    }
    KRZPAPConfiguratorList found;
    bool completed = false;
    std::string failure;
    try {
        found = KRZPAPScanner::runScan();
        completed = true;
    } catch (const KRZPAPCException& e) {
        // A cancelled sweep ends as "no connectivity": what was heard until then is the answer.
        if (!job.cancel.fired() && e.getAPCErrorCode() != KRZPAPC_NO_CONNECTIVITY)
            throw describeFailure(e, "the scan");
        if (!job.cancel.fired())
            failure = "nothing answered on the network";
    }
    nlohmann::json devices;
    size_t recognized = 0;
    int answered = 0;
    {
        // The tap's lock is never taken inside the job's (status() takes them the other way).
        std::lock_guard<std::mutex> tapLock(job.tap->mutex);
        const std::vector<nlohmann::json> list = foundRows(*job.tap, completed ? &found : nullptr);
        devices = scanDevicesJson(job.scanOptions, *job.tap, list);
        recognized = list.size();
        answered = std::max(job.tap->answered, static_cast<int>(recognized));
    }
    // A module whose recognizer threw was skipped; the page says which, as the command does.
    const std::string failedModules = inPageTerms(failedRecognizers());
    std::lock_guard<std::mutex> lock(job.mutex);
    job.result = {{"devices", devices},
                  {"answered", answered},
                  {"recognized", recognized},
                  {"failedModules", failedModules}};
    job.tap.reset();
    if (job.cancel.fired()) {
        job.code = EXIT_CANCELLED;
        job.error = "cancelled (interrupted: the rest of the network was not scanned)";
    } else if (!failure.empty()) {
        job.code = EXIT_NOTHING_FOUND;
        job.error = failure;
    } else if (recognized == 0) {
        job.code = EXIT_NOTHING_FOUND;
    }
}

void UiHost::runShow(Job& job, const DeviceOptions& device) {
    std::string named = device.address;
    takeDeviceAddress(named, 0);
    boost::shared_ptr<KRZPAPConfigurator> conf;
    loginAndRead(globals_, device, job.cancel, conf);
    nlohmann::json shown = shownJson(globals_, *conf);
    shown["description"] = conf->getDescription();
    shown["limits"] = {{"username", {conf->getMinUsernameLen(), conf->getMaxUsernameLen()}},
                       {"password", {conf->getMinPasswordLen(), conf->getMaxPasswordLen()}}};
    std::lock_guard<std::mutex> lock(job.mutex);
    job.result = {{"device", shown}};
}

void UiHost::runConfigure(Job& job, const DeviceOptions& device, const ConfigureOptions& o) {
    std::string named = device.address;
    takeDeviceAddress(named, 0);
    // A refusal names the field it concerns.
    auto checked = [&job, &o](const std::function<void(const ConfigureOptions&)>& check) {
        try {
            check(o);
        } catch (const CommandError&) {
            std::string field = refusedField(o, check);
            std::lock_guard<std::mutex> lock(job.mutex);
            job.field = field;
            throw;
        }
    };
    checked(precheck);
    auto step = [&job](const char* what) {
        std::lock_guard<std::mutex> lock(job.mutex);
        job.step = what;
    };
    step("logging in");
    boost::shared_ptr<KRZPAPConfigurator> conf = openDevice(globals_, device, job.cancel);
    checked([&conf](const ConfigureOptions& asked) { checkDeviceRules(*conf, asked); });
    step("writing the changes");
    applyChanges(*conf, o);
    step("reading the settings back");
    boost::shared_ptr<KRZPAPConfigurator> check =
        reopenWithNewCredentials(globals_, device, *conf, o, job.cancel);
    deviceStep("reading the settings back", [&] { check->retrieveAttributes(); });
    std::vector<Change> changes = compareChanges(globals_, o, *check, true);
    std::string notKept = changesNotKept(changes);
    std::lock_guard<std::mutex> lock(job.mutex);
    job.result = {{"device", settingsJson(globals_, *check)}, {"changes", changesJson(changes)}};
    if (!notKept.empty()) {
        job.error = notKept;
        job.code = EXIT_ERROR;
    }
}

void UiHost::runFind(Job& job, const std::vector<std::string>& macs) {
    std::vector<KRZMacAddress> wanted = parseMacs(macs);
    auto service = boost::make_shared<KRZPDeviceService>();
    job.cancel.set([service] { service->cancel(); });
    {
        std::lock_guard<std::mutex> lock(job.mutex);
        job.step = "looking for the MAC addresses";
    }
    std::vector<KRZPDeviceSighting> found;
    try {
        found = service->findByMac(wanted);
    } catch (const KRZPAPCException& e) {
        throw describeFailure(e, "the search");
    }
    nlohmann::json results = findResultsJson(wanted, &found);
    size_t located = 0;
    for (const auto& r : results)
        located += r["found"].get<bool>() ? 1 : 0;
    std::lock_guard<std::mutex> lock(job.mutex);
    job.result = {{"results", results}};
    if (located < wanted.size()) {
        job.code = EXIT_NOTHING_FOUND;
        job.error = findShortfall(located, wanted.size());
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
