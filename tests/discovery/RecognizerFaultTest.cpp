// One module whose recognizer throws does not spoil a scan: the failure is logged with the module
// that registered the recognizer, the other recognizers are still asked, and the host can learn
// which modules failed. The modules are loaded through the module list, as a host loads them.
#include "ScriptedPeer.h"

#include "DiscoveryTestSupport.h"

#include "discovery/KRZPAPScanner.h"
#include "discovery/KRZPHttpScanner.h"
#include "krzsettings/KRZSettings.h"
#include "platform/krzplatform.h"
#include "platform/krzprocess.h"

#include <boost/make_shared.hpp>

#include <cwchar>

using namespace krztest;

namespace {

const KRZMacAddress kAdapterMac = FakeNetworkBackend::mac("02:00:00:00:00:01");

// Registered by the test program itself, after the modules: asked last, and only while a case
// arms it.
class ProgramRecognizer : public KRZPHttpRecognizer {
  public:
    KRZPAPCErrorCode throws = KRZPAPC_IO_ERROR;
    bool armed = false;
    boost::shared_ptr<KRZPAPConfigurator> recognize(const in_addr&, const std::string&,
                                                    const std::string&,
                                                    const KRZMacAddress&) override {
        if (armed) {
            throw KRZPAPCException(const_cast<char*>("Test"), 1, "", throws);
        }
        return boost::shared_ptr<KRZPAPConfigurator>();
    }
};

ScriptedPeer::Script page(const std::string& body) {
    return ScriptedPeer::Script()
        .awaitRequest()
        .write("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
               body)
        .close();
}

class RecognizerFaultTest : public FakeNetworkTest {
  protected:
    static void SetUpTestSuite() {
        // The throwing modules first: each reply reaches them before the one that recognizes.
        krzprocess::unsetEnvironment("KRZ_SETTINGS_FILE");
        krzprocess::setEnvironment("KRZ_VORTAN_APMODULE_DLLS",
                                   "krzrecogstd.dll;krzrecogother.dll;krzrecogok.dll");
        KRZSettings::reload();
        KRZPAPModule::loadModuleDlls();
        program = boost::make_shared<ProgramRecognizer>();
        KRZPHttpScanner::registerHttpRecognizer(program, 1);
    }
    void device(const std::string& address, int n, unsigned short port) {
        FakeNetworkBackend::Device d;
        d.address = address;
        unsigned char bytes[6] = {0x02, 0xde, 0, 0, 0, static_cast<unsigned char>(n)};
        d.mac = KRZMacAddress(bytes);
        d.port = port;
        net.addDevice(d);
    }
    static boost::shared_ptr<ProgramRecognizer> program;
};
boost::shared_ptr<ProgramRecognizer> RecognizerFaultTest::program;

TEST_F(RecognizerFaultTest, ThrowingModulesAreNamedAndTheOthersStillRecognize) {
    LogCapture log;
    ScriptedPeer wren(page("<title>Wren WR-1</title>"));
    ScriptedPeer other(page("<title>Printer</title>"));
    net.addAdapter("eth0", 7, "10.1.1.1", "255.255.255.252", kAdapterMac);  // .1 and .2
    device("10.1.1.1", 1, wren.port());
    device("10.1.1.2", 2, other.port());

    KRZPAPConfiguratorList found = KRZPAPScanner::runScan();
    ASSERT_EQ(1u, found.size());
    EXPECT_EQ("WR-1", found.front()->getModelName());
    EXPECT_EQ("10.1.1.1", dotted(found.front()->getAddr()));

    // Each module once per reply, named as the module list names it; the library's other lines
    // as they were.
    struct Expected {
        const wchar_t* module;
        const char* reason;
    };
    const Expected expected[] = {{L"krzrecogstd.dll", "the page has no title"},
                                 {L"krzrecogother.dll", "not a std::exception"}};
    for (const Expected& e : expected) {
        for (const char* address : {"10.1.1.1", "10.1.1.2"}) {
            std::string line = "KRZPHttpScanner: the recognizer of module " +
                               std::string(e.module, e.module + wcslen(e.module)) +
                               " failed on the reply from " + address + ": " + e.reason + "\n";
            EXPECT_EQ(1u, log.count(line)) << line << log.text();
        }
    }
    EXPECT_EQ(1u, log.count("KRZPAPScanner::runScan(): recognized "));
    EXPECT_FALSE(log.contains("Caught exception while scanning"));

    std::vector<KRZPRecognizerFailure> failures = KRZPHttpScanner::takeRecognizerFailures();
    ASSERT_EQ(2u, failures.size());
    for (size_t i = 0; i < failures.size(); ++i) {
        EXPECT_EQ(expected[i].module, failures[i].module);
        EXPECT_EQ(expected[i].reason, failures[i].reason);
        EXPECT_EQ(2, failures[i].replies);
    }
    EXPECT_TRUE(KRZPHttpScanner::takeRecognizerFailures().empty());  // taken once
}

// A library exception from a recognizer is one more failure, named as registered outside the
// module list; a cancel from it is the scan's cancel and passes on.
TEST_F(RecognizerFaultTest, LibraryExceptionsFromARecognizer) {
    struct Case {
        const char* address;
        KRZPAPCErrorCode throws;
        const char* reason;  // null: the exception passes on
    };
    const Case cases[] = {{"10.2.2.1", KRZPAPC_PARSE_ERROR, "KRZException: code 7 at Test line 1"},
                          {"10.2.2.2", KRZPAPC_CANCELLED, nullptr}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        // A page that no module claims reaches the program's recognizer, asked last.
        ScriptedPeer printer(page("<title>Printer</title>"));
        device(c.address, 3, printer.port());
        in_addr address = inAddr(c.address);
        KRZMacAddress mac;
        KRZPHttpScanner scanner;
        program->throws = c.throws;
        program->armed = true;
        if (c.reason == nullptr) {
            EXPECT_EQ(KRZPAPC_CANCELLED,
                      thrownBy([&] { scanner.scanForThisAP(address, mac); }).getAPCErrorCode());
        } else {
            EXPECT_EQ(1, scanner.scanForThisAP(address, mac));
            EXPECT_TRUE(scanner.getAPList().empty());
        }
        program->armed = false;
        std::vector<KRZPRecognizerFailure> failures = KRZPHttpScanner::takeRecognizerFailures();
        ASSERT_EQ(c.reason == nullptr ? 2u : 3u, failures.size());  // the two modules first
        EXPECT_EQ(L"krzrecogstd.dll", failures[0].module);
        if (c.reason != nullptr) {
            EXPECT_EQ(L"", failures[2].module);
            EXPECT_EQ(c.reason, failures[2].reason);
            EXPECT_EQ(1, failures[2].replies);
        }
    }
}

}  // namespace
