// The scan driver, the recognizer registry and the factory-defaults verdicts: process-wide
// registries, so this program keeps them to itself.
#include "DiscoveryTestSupport.h"

#include "discovery/KRZPAPScanner.h"
#include "discovery/KRZPDefaultsRecognizer.h"
#include "discovery/KRZPHttpScanner.h"
#include "platform/krzplatform.h"

#include <climits>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

using namespace krztest;

namespace {

typedef boost::shared_ptr<KRZPAPConfigurator> ConfiguratorPtr;

ConfiguratorPtr configurator(const std::string& name) {
    return ConfiguratorPtr(new TestConfigurator({}, name));
}

// A scanner whose sweep is scripted by each test.
class ScriptedScanner : public KRZPAPScanner {
  public:
    bool connectivity = false;
    KRZPAPConfiguratorList found;
    int throwCode = 0;
    std::function<void()> during;  // runs inside scan
    int scans = 0;
    int cancels = 0;
    int uncancels = 0;

    void reset() {
        connectivity = false;
        found.clear();
        throwCode = 0;
        during = nullptr;
        scans = cancels = uncancels = 0;
    }
    void scan() override {
        ++scans;
        if (during) {
            during();
        }
        if (throwCode != 0) {
            throw KRZPAPCException(const_cast<char*>("Scripted"), 1, "",
                                   static_cast<KRZPAPCErrorCode>(throwCode));
        }
    }
    KRZPAPConfiguratorList getAPList() override { return found; }
    bool getConnectivity() override { return connectivity; }
    void cancel() override { ++cancels; }
    void uncancel() override { ++uncancels; }
};

// Registered once per process, behind the library's own HTTP scanner.
struct Scanners {
    boost::shared_ptr<ScriptedScanner> first{new ScriptedScanner};
    boost::shared_ptr<ScriptedScanner> second{new ScriptedScanner};
    Scanners() {
        KRZPAPScanner::registerScanner(boost::shared_ptr<KRZPAPScanner>());  // ignored
        KRZPAPScanner::registerScanner(first);
        KRZPAPScanner::registerScanner(second);
    }
};

Scanners& scanners() {
    static Scanners instance;
    return instance;
}

std::vector<std::string> models(const KRZPAPConfiguratorList& list) {
    std::vector<std::string> names;
    for (const ConfiguratorPtr& c : list) {
        names.push_back(c->getModelName());
    }
    return names;
}

class ScanDriverTest : public FakeNetworkTest {
  protected:
    void SetUp() override {
        FakeNetworkTest::SetUp();
        a = scanners().first.get();
        b = scanners().second.get();
        a->reset();
        b->reset();
    }
    ScriptedScanner* a = nullptr;
    ScriptedScanner* b = nullptr;
};

TEST_F(ScanDriverTest, NoConnectivityIsCode18) {
    LogCapture log;
    KRZPAPCException e = thrownBy([] { KRZPAPScanner::runScan(); });
    EXPECT_EQ(e.getAPCErrorCode(), KRZPAPC_NO_CONNECTIVITY);
    EXPECT_EQ(e.getLine(), 88);
    EXPECT_EQ(e.getSourceFile(), "KRZPAPScanner");
    EXPECT_EQ(e.getMessage(), L"AP scanners failed to detect any connectivity");
    EXPECT_EQ(a->scans, 1);
    EXPECT_EQ(b->scans, 1);
    EXPECT_EQ(a->uncancels, 1);

    // Configurators without connectivity anywhere are lost with the run.
    a->found.push_back(configurator("lost"));
    EXPECT_EQ(thrownBy([] { KRZPAPScanner::runScan(); }).getAPCErrorCode(),
              KRZPAPC_NO_CONNECTIVITY);
}

TEST_F(ScanDriverTest, ResultsInScannerOrderAndThrowersSkipped) {
    LogCapture log;
    a->found = {configurator("a1")};  // no connectivity of its own, still counts
    b->connectivity = true;
    b->found = {configurator("b1"), configurator("b2")};
    EXPECT_EQ(models(KRZPAPScanner::runScan()), (std::vector<std::string>{"a1", "b1", "b2"}));
    EXPECT_TRUE(log.contains("KRZPAPScanner::runScan(): recognized Acme"));

    // A scanner that throws contributes nothing, not even its connectivity.
    a->connectivity = true;
    a->throwCode = KRZPAPC_IO_ERROR;
    EXPECT_EQ(models(KRZPAPScanner::runScan()), (std::vector<std::string>{"b1", "b2"}));
    EXPECT_EQ(log.count("Caught exception while scanning\n"), 1u);

    b->throwCode = KRZPAPC_CANCELLED;
    EXPECT_EQ(thrownBy([] { KRZPAPScanner::runScan(); }).getAPCErrorCode(),
              KRZPAPC_NO_CONNECTIVITY);
}

TEST_F(ScanDriverTest, SecondConcurrentScanFailsAtOnce) {
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    a->connectivity = true;
    a->during = [&] {
        entered.set_value();
        released.wait();
    };
    std::future<KRZPAPConfiguratorList> running =
        std::async(std::launch::async, [] { return KRZPAPScanner::runScan(); });
    entered.get_future().wait();

    KRZPAPCException e = thrownBy([] { KRZPAPScanner::runScan(); });
    EXPECT_EQ(e.getAPCErrorCode(), KRZPAPC_SCAN_IN_PROGRESS);
    EXPECT_EQ(e.getLine(), 47);
    EXPECT_EQ(e.getMessage(), L"Scan already in progress");

    release.set_value();
    EXPECT_NO_THROW(running.get());  // the first scan was not disturbed
    EXPECT_EQ(a->scans, 1);
    EXPECT_EQ(b->scans, 1);
}

TEST_F(ScanDriverTest, CancelReachesRunningScannerAndStopsBeforeTheNext) {
    LogCapture log;
    // Before a scan: no effect on it.
    KRZPAPScanner::cancelScan();
    a->connectivity = true;
    EXPECT_NO_THROW(KRZPAPScanner::runScan());
    EXPECT_EQ(a->cancels, 0);
    EXPECT_EQ(b->scans, 1);

    a->reset();
    b->reset();
    a->connectivity = true;
    a->found = {configurator("a1")};
    a->during = [] { std::thread([] { KRZPAPScanner::cancelScan(); }).join(); };
    KRZPAPCException e = thrownBy([] { KRZPAPScanner::runScan(); });
    EXPECT_EQ(e.getAPCErrorCode(), KRZPAPC_CANCELLED);
    EXPECT_EQ(e.getLine(), 59);
    EXPECT_EQ(e.getMessage(), L"");
    EXPECT_EQ(a->cancels, 1);
    EXPECT_EQ(b->scans, 0);
    EXPECT_TRUE(log.contains("KRZPAPScanner::runScan(): user canceled\n"));

    // A cancel during the last scanner is that scanner's business: the run ends normally.
    a->reset();
    b->reset();
    b->connectivity = true;
    b->during = [] { KRZPAPScanner::cancelScan(); };
    EXPECT_NO_THROW(KRZPAPScanner::runScan());
    EXPECT_EQ(b->cancels, 1);
}

// ---- recognizers ----

class RecordingRecognizer : public KRZPHttpRecognizer {
  public:
    RecordingRecognizer(std::vector<std::string>& calls, std::string name)
        : calls_(calls), name_(std::move(name)) {}
    bool claims = false;
    ConfiguratorPtr recognize(const in_addr&, const std::string&, const std::string& body,
                              const KRZMacAddress&) override {
        calls_.push_back(name_);
        return claims ? configurator(name_ + ":" + body) : ConfiguratorPtr();
    }

  private:
    std::vector<std::string>& calls_;
    std::string name_;
};

TEST(HttpRecognizerRegistry, ConsultedByPriorityFirstClaimWins) {
    std::vector<std::string> calls;
    KRZPHttpScanner scanner;
    in_addr address = inAddr("192.168.1.2");
    std::string headers = "HTTP/1.1 200 OK\r\n";
    std::string body = "page";
    KRZMacAddress mac = FakeNetworkBackend::mac("02:00:00:00:00:02");

    scanner.handleScanResult(address, headers, body, mac);  // none registered: dropped
    EXPECT_TRUE(scanner.getAPList().empty());

    std::map<std::string, boost::shared_ptr<RecordingRecognizer>> r;
    for (auto named : std::vector<std::pair<std::string, int>>{
             {"5a", 5}, {"1", 1}, {"5b", 5}, {"3", 3}, {"-2", -2}, {"0", 0}}) {
        r[named.first].reset(new RecordingRecognizer(calls, named.first));
        KRZPHttpScanner::registerHttpRecognizer(r[named.first], named.second);
    }
    scanner.handleScanResult(address, headers, body, mac);
    EXPECT_EQ(calls, (std::vector<std::string>{"-2", "0", "1", "3", "5a", "5b"}));
    EXPECT_TRUE(scanner.getAPList().empty());

    calls.clear();
    r["3"]->claims = true;
    r["5a"]->claims = true;
    scanner.handleScanResult(address, headers, body, mac);
    EXPECT_EQ(calls, (std::vector<std::string>{"-2", "0", "1", "3"}));
    EXPECT_EQ(models(scanner.getAPList()), (std::vector<std::string>{"3:page"}));
}

// ---- factory-defaults verdicts ----

class FixedVerdict : public KRZPDefaultsRecognizer {
  public:
    int verdict = 0;
    boost::shared_ptr<KRZAccessPointWlanInfo> seen;
    int isFactoryDefaults(boost::shared_ptr<KRZAccessPointWlanInfo> info) override {
        seen = info;
        return verdict;
    }
};

TEST(DefaultsRecognizer, LargestMagnitudeWinsEarlierOnTies) {
    boost::shared_ptr<KRZAccessPointWlanInfo> info(new KRZAccessPointWlanInfo());
    EXPECT_EQ(KRZPDefaultsRecognizer::isFactoryDefaultsAccessPoint(info), 0);

    boost::shared_ptr<FixedVerdict> r[3];
    KRZPDefaultsRecognizer::registerDefaultsRecognizer(boost::shared_ptr<KRZPDefaultsRecognizer>());
    for (auto& one : r) {
        one.reset(new FixedVerdict);
        KRZPDefaultsRecognizer::registerDefaultsRecognizer(one);
    }
    auto verdictOf = [&](int x, int y, int z) {
        r[0]->verdict = x;
        r[1]->verdict = y;
        r[2]->verdict = z;
        return KRZPDefaultsRecognizer::isFactoryDefaultsAccessPoint(info);
    };
    EXPECT_EQ(verdictOf(3, -7, 7), -7);
    EXPECT_EQ(verdictOf(-2, 2, 0), -2);
    EXPECT_EQ(verdictOf(0, 0, 0), 0);
    EXPECT_EQ(verdictOf(0, 4, -5), -5);
    EXPECT_EQ(verdictOf(INT_MIN, INT_MAX, 0), INT_MIN);
    EXPECT_EQ(r[2]->seen, info);  // every recognizer sees the host's record itself
}

}  // namespace
