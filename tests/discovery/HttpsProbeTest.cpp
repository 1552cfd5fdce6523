// The HTTP scanner reaching devices that serve their pages over HTTPS only: a refused port 80 or a
// redirect to the device's own HTTPS port is probed again over TLS (real TLS servers on loopback,
// carried there by the fake backend), and a redirect elsewhere is not followed.
#include "ScriptedPeer.h"

#include "DiscoveryTestSupport.h"

#include "discovery/KRZPAPScanner.h"
#include "discovery/KRZPHttpRecognizer.h"
#include "discovery/KRZPHttpScanner.h"
#include "http/KRZPAPComm.h"
#include "krznetlib/KRZNetworkBackend.h"
#include "testsupport/krztlsserver.h"
#include "platform/krzplatform.h"

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

using namespace krztest;

namespace {

const char kAddress[] = "10.9.9.9";

KRZMacAddress deviceMac() {
    unsigned char bytes[6] = {0x02, 0xde, 0, 0, 9, 9};
    return KRZMacAddress(bytes);
}

KRZMacAddress numberedMac(int n) {
    unsigned char bytes[6] = {0x02, 0xde, 0, 0, 6, static_cast<unsigned char>(n)};
    return KRZMacAddress(bytes);
}

// Claims every reply whose body names ACME; keeps what it was offered.
class AcmeRecognizer : public KRZPHttpRecognizer {
  public:
    std::mutex mutex;
    std::vector<std::string> headers;

    boost::shared_ptr<KRZPAPConfigurator> recognize(const in_addr&, const std::string& h,
                                                    const std::string& body,
                                                    const KRZMacAddress& mac) override {
        std::lock_guard<std::mutex> lock(mutex);
        headers.push_back(h);
        if (body.find("ACME") == std::string::npos)
            return boost::shared_ptr<KRZPAPConfigurator>();
        return boost::shared_ptr<KRZPAPConfigurator>(new TestConfigurator({mac}, body));
    }
};

AcmeRecognizer& recognizer() {
    static boost::shared_ptr<AcmeRecognizer> instance = [] {
        boost::shared_ptr<AcmeRecognizer> r(new AcmeRecognizer);
        KRZPHttpScanner::registerHttpRecognizer(r, 10);
        return r;
    }();
    return *instance;
}

std::string page(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string redirect(int status, const std::string& location) {
    return "HTTP/1.1 " + std::to_string(status) + " Moved\r\nLocation: " + location +
           "\r\nContent-Length: 0\r\n\r\n";
}

class HttpsProbeTest : public FakeNetworkTest {
  protected:
    void SetUp() override {
        FakeNetworkTest::SetUp();
        std::lock_guard<std::mutex> lock(recognizer().mutex);
        recognizer().headers.clear();
        KRZPHttpScanner::setHttpsProbe(true);
    }
    void TearDown() override {
        KRZPHttpScanner::setHttpsProbe(false);
        KRZPAPComm::setHostCertificateCheck(nullptr);
        in_addr a = inAddr(kAddress);
        KRZNetworkBackend::redirectPort(a, 80, 80);
        for (unsigned short port : {443, 8443})
            KRZPAPComm::setTlsFor(a, port, false);
        FakeNetworkTest::TearDown();
    }
    // The device: port 80 served by `plain` (0: refused), other ports as given.
    void device(unsigned short plain, std::map<unsigned short, unsigned short> ports) {
        FakeNetworkBackend::Device d;
        d.address = kAddress;
        d.mac = deviceMac();
        d.port = plain;
        d.refuses = plain == 0;
        d.ports = std::move(ports);
        net.addDevice(d);
    }
    // Probes the device as the device service does; the model name found, or "".
    std::string probe() {
        KRZPHttpScanner scanner;
        in_addr address = inAddr(kAddress);
        KRZMacAddress mac = deviceMac();
        scanner.scanForThisAP(address, mac);
        return scanner.getAPList().empty() ? "" : scanner.getAPList().front()->getModelName();
    }
    std::vector<unsigned short> portsTried() const {
        std::vector<unsigned short> ports;
        for (const auto& attempt : net.connectAttempts())
            ports.push_back(attempt.port);
        return ports;
    }
};

struct Reach {
    const char* name;
    int plainStatus;       // 0: port 80 refuses
    const char* location;  // the redirect's target
    unsigned short tlsPort;
};

void PrintTo(const Reach& r, std::ostream* os) {
    *os << r.name;
}

class HttpsProbeReachTest : public HttpsProbeTest, public ::testing::WithParamInterface<Reach> {};

// Each way a device points at its HTTPS port: the page there is what the recognizers see, and
// the device's port 80 then goes to that port over TLS.
TEST_P(HttpsProbeReachTest, TheHttpsPageIsRecognized) {
    const Reach& r = GetParam();
    TlsServer tls(page("ACME secure"), 2);
    std::unique_ptr<ScriptedPeer> plain;
    if (r.plainStatus != 0)
        plain.reset(new ScriptedPeer(ScriptedPeer::Script()
                                         .awaitRequest()
                                         .write(redirect(r.plainStatus, r.location))
                                         .close()));
    device(plain ? plain->port() : 0, {{r.tlsPort, tls.port()}});

    EXPECT_EQ(probe(), "ACME secure");
    EXPECT_EQ(portsTried(), (std::vector<unsigned short>{80, r.tlsPort}));
    in_addr a = inAddr(kAddress);
    EXPECT_EQ(KRZNetworkBackend::portFor(a, 80), r.tlsPort);
    EXPECT_TRUE(KRZPAPComm::tlsFor(a, r.tlsPort));
    {
        std::lock_guard<std::mutex> lock(recognizer().mutex);
        ASSERT_EQ(recognizer().headers.size(), 1u);  // the redirect was not offered
        EXPECT_EQ(recognizer().headers[0].find("HTTP/1.1 200"), 0u);
    }
    // A configurator's own connection to port 80 now reaches the HTTPS page.
    KRZPAPComm comm(a);
    comm.openConnection(80, false);
    comm.writeGetRequest("/x");
    comm.readResponseSynchronous();
    EXPECT_EQ(comm.getResponseBody(), "ACME secure");
    EXPECT_TRUE(tls.waitServed());
    EXPECT_EQ(tls.received().find("GET / HTTP/1.1\r\n"), 0u);
    EXPECT_NE(tls.received().find("GET /x HTTP/1.1\r\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Ways, HttpsProbeReachTest,
    ::testing::Values(Reach{"Refused", 0, "", 443},
                      Reach{"Found", 302, "https://10.9.9.9/cgi-bin/luci", 443},
                      Reach{"Moved", 301, "https://10.9.9.9", 443},
                      Reach{"TemporaryOtherPort", 307, "https://10.9.9.9:8443/Main_Login.asp",
                            8443},
                      Reach{"Permanent", 308, "https://10.9.9.9:443/", 443}),
    [](const ::testing::TestParamInfo<Reach>& param) { return std::string(param.param.name); });

struct Stay {
    const char* name;
    int status;
    const char* location;
    bool tlsServes;    // the device's 443 serves TLS
    bool refuseTrust;  // the host's certificate check refuses
    bool elsewhere;    // logged as a redirect to another host
};

void PrintTo(const Stay& s, std::ostream* os) {
    *os << s.name;
}

class HttpsProbeStayTest : public HttpsProbeTest, public ::testing::WithParamInterface<Stay> {};

// A redirect that leaves the device, is no redirect, or whose HTTPS side fails: the redirect
// itself is what the recognizers see, and nothing about the device changes.
TEST_P(HttpsProbeStayTest, TheRedirectIsOffered) {
    const Stay& s = GetParam();
    std::unique_ptr<TlsServer> tls(s.tlsServes ? new TlsServer(page("ACME secure")) : nullptr);
    ScriptedPeer plain(
        ScriptedPeer::Script().awaitRequest().write(redirect(s.status, s.location)).close());
    device(plain.port(), {{443, tls ? tls->port() : 0}});
    if (s.refuseTrust)
        KRZPAPComm::setHostCertificateCheck(
            [](const in_addr&, unsigned short, const std::vector<unsigned char>&) {
                throw KRZPAPCException(const_cast<char*>("test"), 1, "the certificate changed",
                                       KRZPAPC_CONNECT_ERROR);
            });

    LogCapture log;
    EXPECT_EQ(probe(), "");
    {
        std::lock_guard<std::mutex> lock(recognizer().mutex);
        ASSERT_EQ(recognizer().headers.size(), 1u);
        EXPECT_EQ(recognizer().headers[0].find("HTTP/1.1 " + std::to_string(s.status)), 0u);
    }
    EXPECT_EQ(s.elsewhere, log.contains("10.9.9.9 redirects to another host, not followed"));
    in_addr a = inAddr(kAddress);
    EXPECT_EQ(KRZNetworkBackend::portFor(a, 80), 80);
    EXPECT_FALSE(KRZPAPComm::tlsFor(a, 443));
    if (s.refuseTrust) {  // refused after the handshake, before any request
        EXPECT_EQ(tls->received(), "");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HttpsProbeStayTest,
    ::testing::Values(Stay{"OtherHost", 302, "https://10.9.9.10/", true, false, true},
                      Stay{"LongerAddress", 302, "https://10.9.9.99/", true, false, true},
                      Stay{"NameAfterAddress", 302, "https://10.9.9.9.example/", true, false, true},
                      Stay{"HostName", 302, "https://router.lan/", true, false, true},
                      Stay{"PlainHttp", 302, "http://10.9.9.9:8080/", true, false, false},
                      Stay{"NotARedirect", 200, "https://10.9.9.9/", true, false, false},
                      Stay{"BadPort", 307, "https://10.9.9.9:99999/", true, false, true},
                      Stay{"TlsRefused", 302, "https://10.9.9.9/", false, false, false},
                      Stay{"TrustRefused", 302, "https://10.9.9.9/", true, true, false}),
    [](const ::testing::TestParamInfo<Stay>& param) { return std::string(param.param.name); });

// Off (the library's own default), a refused port 80 is all there is.
TEST_F(HttpsProbeTest, OffProbesPort80Only) {
    KRZPHttpScanner::setHttpsProbe(false);
    TlsServer tls(page("ACME secure"));
    device(0, {{443, tls.port()}});
    EXPECT_EQ(probe(), "");
    EXPECT_EQ(portsTried(), std::vector<unsigned short>{80});
}

// A reply held decrypted in the TLS session while its socket shows nothing more (the device
// keeps the connection open) is read without waiting for the probe's deadline.
TEST_F(HttpsProbeTest, HeldTlsBytesAreReadWithoutWaiting) {
    // 1,049 records of 1,000 bytes: a read that stops at its 1 MiB budget leaves 424 of them.
    std::string body(1049 * 1000 - 44, 'x');
    body.replace(0, 4, "ACME");
    TlsServer tls(page(body), 1, true, true);
    device(0, {{443, tls.port()}});
    LogCapture log;
    EXPECT_EQ(probe(), body);
}

// Opened once a stalling device has the client's hello; waits are bounded (five seconds).
class Gate {
  public:
    void open(std::function<void()> then = nullptr) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            open_ = true;
        }
        changed_.notify_all();
        if (then)
            then();
    }
    bool wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(5), [this] { return open_; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
};

std::string readSome(SOCKET s) {
    char buffer[4096];
    if (!waitReadable(s, 5000))
        return "";
    int got = ::recv(s, buffer, sizeof buffer, 0);
    return got > 0 ? std::string(buffer, static_cast<size_t>(got)) : "";
}

// An HTTPS port that takes the connection and the client's hello and answers nothing: the gate
// opens once the hello is in (then `onHello` runs), and closedByClient() tells whether the client
// let go of the connection before the port was destroyed.
class StallingTlsPort {
  public:
    StallingTlsPort(Gate& gate, std::function<void()> onHello = nullptr)
        : listen_(static_cast<SOCKET>(listeningLoopbackSocket())),
          port_(boundPort(static_cast<int>(listen_))),
          thread_([this, &gate, onHello] { run(gate, onHello); }) {}
    ~StallingTlsPort() {
        stopping_ = true;
        thread_.join();
        closesocket(listen_);
    }
    unsigned short port() const { return port_; }
    // Waits (five seconds at most) for the client's close.
    bool closedByClient() {
        std::unique_lock<std::mutex> lock(mutex_);
        return ended_.wait_for(lock, std::chrono::seconds(5), [this] { return closed_; });
    }

  private:
    void run(Gate& gate, const std::function<void()>& onHello) {
        if (!waitReadable(listen_, 5000))
            return;
        SOCKET s = ::accept(listen_, nullptr, nullptr);
        const bool hello = readSome(s).size() > 5;  // a TLS record header and more
        if (hello)
            gate.open(onHello);
        char byte;
        while (!stopping_) {
            if (!waitReadable(s, 50))
                continue;
            if (::recv(s, &byte, 1, 0) <= 0) {
                std::lock_guard<std::mutex> lock(mutex_);
                closed_ = hello;
                ended_.notify_all();
                break;
            }
        }
        closesocket(s);
    }

    SOCKET listen_;
    unsigned short port_;
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    std::condition_variable ended_;
    bool closed_ = false;
    std::thread thread_;
};

// Serves `count` plain pages, each only after the gate opened.
class GatedPages {
  public:
    GatedPages(Gate& gate, int count, std::string reply)
        : listen_(static_cast<SOCKET>(listeningLoopbackSocket())),
          port_(boundPort(static_cast<int>(listen_))),
          thread_([this, &gate, count, reply] { run(gate, count, reply); }) {}
    ~GatedPages() {
        thread_.join();
        closesocket(listen_);
    }
    unsigned short port() const { return port_; }

  private:
    void run(Gate& gate, int count, const std::string& reply) {
        std::vector<SOCKET> clients;
        for (int i = 0; i < count && waitReadable(listen_, 5000); ++i)
            clients.push_back(::accept(listen_, nullptr, nullptr));
        gate.wait();
        for (SOCKET s : clients) {
            std::string request;
            while (request.find("\r\n\r\n") == std::string::npos) {
                std::string more = readSome(s);
                if (more.empty())
                    break;
                request += more;
            }
            ::send(s, reply.data(), static_cast<int>(reply.size()), 0);
            closesocket(s);
        }
    }

    SOCKET listen_;
    unsigned short port_;
    std::thread thread_;
};

// The handshake is a step of the probe loop: a device that stalls it holds its own probe to the
// reply deadline, not the sweep. The other devices answer only once the stalled handshake began,
// and are still heard before that probe ends.
TEST_F(HttpsProbeTest, AStalledHandshakeDoesNotHoldTheOthers) {
    Gate gate;
    StallingTlsPort stalling(gate);
    GatedPages pages(gate, 4, page("ACME plain"));
    net.addAdapter("eth0", 7, "10.6.6.1", "255.255.255.248", deviceMac());  // .1 to .6
    for (int i = 1; i <= 5; ++i) {
        FakeNetworkBackend::Device d;
        d.address = "10.6.6." + std::to_string(i);
        d.mac = numberedMac(i);
        d.port = i == 1 ? 0 : pages.port();
        d.refuses = i == 1;  // probed first: its port 80 refuses, its 443 stalls
        if (i == 1)
            d.ports = {{443, stalling.port()}};
        net.addDevice(d);
    }
    std::mutex mutex;
    std::vector<std::pair<std::string, KRZPScanResult::Kind>> heard;
    int observer = KRZPAPScanner::registerScanObserver([&](const KRZPScanResult& r) {
        std::lock_guard<std::mutex> lock(mutex);
        heard.push_back({dotted(*r.address), r.kind});
    });
    KRZPAPConfiguratorList found = KRZPAPScanner::runScan();
    KRZPAPScanner::unregisterScanObserver(observer);

    EXPECT_EQ(found.size(), 4u);
    ASSERT_EQ(heard.size(), 5u);
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(heard[i].second, KRZPScanResult::RECOGNIZED) << heard[i].first;
    EXPECT_EQ(heard[4], std::make_pair(std::string("10.6.6.1"), KRZPScanResult::ARP_ONLY));
    EXPECT_TRUE(stalling.closedByClient());  // the probe let go of it at its deadline
    std::vector<unsigned short> ports = portsTried();
    std::sort(ports.begin(), ports.end());
    EXPECT_EQ(ports, (std::vector<unsigned short>{80, 80, 80, 80, 80, 443}));
}

// A probe's socket number is taken again by the next connection once the probe ended: the next
// device, reached in plain HTTP, must not be taken for the HTTPS probe that held the number (its
// port 80 would then be sent to 443 over TLS for every configurator after the scan).
TEST_F(HttpsProbeTest, ASocketNumberAnHttpsProbeFreedIsPlainForTheNext) {
    TlsServer tls(page("ACME secure"));
    ScriptedPeer plain(ScriptedPeer::Script().awaitRequest().write(page("ACME plain")).close());
    net.addAdapter("eth0", 7, "10.6.6.1", "255.255.255.248", deviceMac());
    FakeNetworkBackend::Device https;
    https.address = "10.6.6.2";
    https.mac = numberedMac(2);
    https.refuses = true;
    https.ports = {{443, tls.port()}};
    net.addDevice(https);
    FakeNetworkBackend::Device later;
    later.address = "10.6.6.3";
    later.mac = numberedMac(3);
    later.port = plain.port();
    later.arpDelayMs = 600;  // heard once the HTTPS probe is over
    net.addDevice(later);

    KRZPAPConfiguratorList found = KRZPAPScanner::runScan();
    // The plain device's port 80 stays plain HTTP for the configurators that follow.
    in_addr b = inAddr("10.6.6.3");
    EXPECT_EQ(KRZNetworkBackend::portFor(b, 80), 80);
    EXPECT_FALSE(KRZPAPComm::tlsFor(b, 443));
    for (in_addr a : {inAddr("10.6.6.2"), b}) {
        KRZNetworkBackend::redirectPort(a, 80, 80);
        KRZPAPComm::setTlsFor(a, 443, false);
    }
    std::vector<std::string> models;
    for (const auto& c : found)
        models.push_back(c->getModelName());
    std::sort(models.begin(), models.end());
    EXPECT_EQ(models, (std::vector<std::string>{"ACME plain", "ACME secure"}));
}

// A cancel ends a probe whose handshake stalls at once, not by the handshake's time-out.
TEST_F(HttpsProbeTest, ACancelEndsAStalledHandshake) {
    Gate gate;
    KRZPHttpScanner scanner;
    StallingTlsPort stalling(gate, [&] { scanner.cancel(); });
    device(0, {{443, stalling.port()}});
    LogCapture log;
    in_addr address = inAddr(kAddress);
    KRZMacAddress mac = deviceMac();
    KRZPAPCException e = thrownBy([&] { scanner.scanForThisAP(address, mac); });
    EXPECT_EQ(e.getAPCErrorCode(), KRZPAPC_CANCELLED);
    EXPECT_TRUE(gate.wait());
    EXPECT_TRUE(stalling.closedByClient());
    EXPECT_FALSE(log.contains("did not complete the TLS handshake"));
    EXPECT_FALSE(log.contains("HTTPS probe of"));
}

}  // namespace
