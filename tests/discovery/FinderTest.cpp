#include "DiscoveryTestSupport.h"

#include "discovery/KRZPAPFinder.h"
#include "discovery/KRZPArpAPFinder.h"

#include <thread>

using namespace krztest;

namespace {

typedef boost::shared_ptr<TestConfigurator> TestConfiguratorPtr;

const KRZMacAddress kAdapterMac = FakeNetworkBackend::mac("02:00:00:00:00:01");
const KRZMacAddress kDeviceMac = FakeNetworkBackend::mac("02:d0:00:00:00:50");
const KRZMacAddress kOtherMac = FakeNetworkBackend::mac("02:d0:00:00:00:99");

// Default device addresses reach the registry the way modules register them.
struct DefaultIps : KRZPAPModule {
    static void add(const std::string& dotted) {
        registerDefaultIp(FakeNetworkBackend::ip(dotted));
    }
};

class FinderTest : public FakeNetworkTest {
  protected:
    // An adapter whose block is .49 and .50 only: when both answer, no sweep waits.
    void smallNetwork() {
        net.addAdapter("eth0", 7, "192.168.1.49", "255.255.255.252", kAdapterMac);
        device("192.168.1.49", FakeNetworkBackend::mac("02:00:00:00:00:49"));
        device("192.168.1.50", kDeviceMac);
    }
    static TestConfiguratorPtr configurator(std::vector<KRZMacAddress> macs,
                                            const std::string& name = "Test") {
        return TestConfiguratorPtr(new TestConfigurator(std::move(macs), name));
    }
    static KRZPArpAPFinder& arpFinder() {
        return *static_cast<KRZPArpAPFinder*>(KRZPArpAPFinder::getInstance());
    }
};

TEST_F(FinderTest, OnlyUsableAdaptersAreSwept) {
    net.addAdapter("lo", 1, "127.0.0.1", "255.0.0.0", FakeNetworkBackend::mac("00:00:00:00:00:00"));
    net.addAdapter("ll", 2, "169.254.3.4", "255.255.0.0", kAdapterMac);
    net.addAdapter("none", 3, "0.0.0.0", "0.0.0.0", kAdapterMac);
    net.addAdapter("unset", 4, "255.255.255.255", "255.255.255.0", kAdapterMac);
    TestConfiguratorPtr c = configurator({kDeviceMac});
    EXPECT_FALSE(arpFinder().findAp(*c));
    KRZPAPConfiguratorVector list{c};
    EXPECT_TRUE(arpFinder().findAps(list).empty());
    EXPECT_EQ(net.sendCount(), 0u);
}

TEST_F(FinderTest, FindApMatchesAnyMacOfTheConfigurator) {
    smallNetwork();
    TestConfiguratorPtr c = configurator({kOtherMac, kDeviceMac});
    EXPECT_TRUE(arpFinder().findAp(*c));
    EXPECT_EQ(dotted(c->getAddr()), "192.168.1.50");
    EXPECT_EQ(c->addressChanges, 1);

    // Through the configurator's own operation, which asks its finder.
    TestConfiguratorPtr viaFrame = configurator({kDeviceMac});
    EXPECT_TRUE(viaFrame->findAP());
    EXPECT_EQ(dotted(viaFrame->getAddr()), "192.168.1.50");
}

TEST_F(FinderTest, FindApsServesSharedMacsAndDefaultAddresses) {
    smallNetwork();
    DefaultIps::add("10.0.0.138");
    device("10.0.0.138", kOtherMac);  // still at its factory address, off the adapter's network
    TestConfiguratorPtr first = configurator({kDeviceMac}, "first");
    TestConfiguratorPtr missing = configurator({FakeNetworkBackend::mac("02:ee:00:00:00:01")});
    TestConfiguratorPtr second = configurator({kDeviceMac}, "second");
    TestConfiguratorPtr factory = configurator({kOtherMac}, "factory");
    KRZPAPConfiguratorVector list{first, missing, second, factory};

    // A single search sweeps only the adapters' networks.
    EXPECT_FALSE(arpFinder().findAp(*factory));
    // The unanswered default address makes no difference: .138 answers, so no wait either way.
    KRZPAPConfiguratorVector found = arpFinder().findAps(list);
    ASSERT_EQ(found.size(), 3u);
    // Keys are the addresses as the machine reads them: 192.168.1.50 before 10.0.0.138 here.
    EXPECT_EQ(found, (KRZPAPConfiguratorVector{first, second, factory}));
    EXPECT_EQ(dotted(first->getAddr()), "192.168.1.50");
    EXPECT_EQ(dotted(second->getAddr()), "192.168.1.50");
    EXPECT_EQ(dotted(factory->getAddr()), "10.0.0.138");
    EXPECT_EQ(list, KRZPAPConfiguratorVector{missing});  // the ones not found stay behind
}

// A finder whose findAps is scripted by the test.
class ScriptedFinder : public KRZPAPFinder {
  public:
    std::function<void()> during;
    bool throws = false;
    int runs = 0;
    int cancels = 0;
    int uncancels = 0;
    KRZPAPConfiguratorVector seen;
    void cancel() override { ++cancels; }
    void uncancel() override { ++uncancels; }

  private:
    KRZPAPConfiguratorVector findAps(KRZPAPConfiguratorVector& configurators) override {
        ++runs;
        seen = configurators;
        if (during) {
            during();
        }
        if (throws) {
            KRZPAPC_THROW("ScriptedFinder", "", KRZPAPC_INTERNAL_ERROR);
        }
        return configurators;
    }
    bool findAp(KRZPAPConfigurator&) override { return true; }
};

TEST_F(FinderTest, FindAllApsGroupsByFinderAndCancelsBetweenGroups) {
    LogCapture log;
    EXPECT_TRUE(KRZPAPFinder::findAllAps({}).empty());

    ScriptedFinder finders[2];
    ScriptedFinder& low = finders[0];  // groups run in ascending finder address
    ScriptedFinder& high = finders[1];
    TestConfiguratorPtr h1 = configurator({}, "h1"), l1 = configurator({}, "l1"),
                        h2 = configurator({}, "h2");
    h1->finder = &high;
    l1->finder = &low;
    h2->finder = &high;
    KRZPAPConfiguratorVector all{h1, l1, h2};

    KRZPAPFinder::cancelScan();  // before the run: no effect
    EXPECT_EQ(KRZPAPFinder::findAllAps(all), (KRZPAPConfiguratorVector{l1, h1, h2}));
    EXPECT_EQ(high.seen, (KRZPAPConfiguratorVector{h1, h2}));
    EXPECT_EQ(low.uncancels, 1);

    // A failing finder is logged; the other group's result stands.
    low.throws = true;
    EXPECT_EQ(KRZPAPFinder::findAllAps(all), (KRZPAPConfiguratorVector{h1, h2}));
    EXPECT_TRUE(log.contains("KRZPAPFinder::findAllAps() : caught exception from a finder: "));
    low.throws = false;

    // Cancelled while the first group runs: it completes, the second never starts.
    low.during = [] { std::thread([] { KRZPAPFinder::cancelScan(); }).join(); };
    high.runs = 0;
    KRZPAPCException e = thrownBy([&] { KRZPAPFinder::findAllAps(all); });
    EXPECT_EQ(e.getAPCErrorCode(), KRZPAPC_CANCELLED);
    EXPECT_EQ(e.getSourceFile(), "KRZPAPFinder");
    EXPECT_EQ(low.cancels, 1);
    EXPECT_EQ(high.runs, 0);
    EXPECT_TRUE(log.contains("KRZPAPFinder::findAllAps(): user canceled\n"));

    // ... and with no group after it, the run ends normally.
    EXPECT_EQ(KRZPAPFinder::findAllAps({l1}), (KRZPAPConfiguratorVector{l1}));
}

TEST_F(FinderTest, CancelledArpFinderGivesUpAfterAnAdapterWithoutTheDevice) {
    smallNetwork();
    net.addAdapter("eth1", 8, "10.2.0.1", "255.255.255.252",
                   FakeNetworkBackend::mac("02:00:00:00:00:02"));
    device("10.2.0.2", FakeNetworkBackend::mac("02:00:00:00:00:77"));
    device("10.2.0.1", FakeNetworkBackend::mac("02:00:00:00:00:78"));
    arpFinder().cancel();
    TestConfiguratorPtr onFirst = configurator({kDeviceMac});
    EXPECT_TRUE(arpFinder().findAp(*onFirst));  // found on the first adapter: no exception

    TestConfiguratorPtr nowhere = configurator({FakeNetworkBackend::mac("02:ee:00:00:00:02")});
    net.clearRecords();
    KRZPAPCException e = thrownBy([&] { arpFinder().findAp(*nowhere); });
    EXPECT_EQ(e.getAPCErrorCode(), KRZPAPC_CANCELLED);
    EXPECT_EQ(e.getSourceFile(), "KRZPArpAPFinder");
    EXPECT_EQ(net.sendCount(), 2u);  // the second adapter was not swept

    // The configurator's frame reports false instead.
    EXPECT_FALSE(nowhere->findAP());
    arpFinder().uncancel();
    EXPECT_FALSE(nowhere->findAP());
    EXPECT_EQ(net.sendCount(), 2u + 2u + 4u);  // cancelled: one adapter each; then both
}

}  // namespace
