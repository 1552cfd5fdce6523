// fetch, forms, lab: what module authors use to study a device's pages.
#include "Cli.h"

#include "html/KRZPHtmlParser.h"
#include "app/KRZPTlsTrust.h"
#include "discovery/KRZPHttpScanner.h"
#include "http/KRZPAPComm.h"
#include "krznetlib/KRZNetworkBackend.h"
#include "http/KRZPFormParams.h"
#include "http/KRZPMultipartParams.h"
#include "recording/Recording.h"
#include "platform/krzprocess.h"
#include "platform/krzplatform.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <set>
#include <sstream>

namespace krzpap {

namespace {

// The library's bound on one reply: a page is never bigger.
const size_t kMaxPageBytes = KRZPAPComm::MAX_REPLY;

// "http://host[:port][/path]" as curl users give it, taken apart into the options.
void takeUrl(FetchOptions& o) {
    std::string host, path;
    int port = 0;
    if (!splitDeviceUrl(o.address, host, port, path, o.https)) {
        if (o.path.empty())
            o.path = "/";
        return;
    }
    if (!o.path.empty()) {
        throw CommandError(EXIT_USAGE, "give either a URL or an address and a path, not both");
    }
    o.path = path;
    if (port != 0)
        o.port = port;
    else if (o.https && o.port == 80)
        o.port = 443;
    o.address = host;
}

// The reply's header lines with the values of cookies and credentials hidden unless asked for.
std::string shownHeaders(const Globals& globals, const std::string& headers) {
    if (globals.showSecrets)
        return headers;
    static const char* const kSecret[] = {
        "set-cookie:", "cookie:", "authorization:", "proxy-authorization:"};
    std::string out;
    size_t start = 0;
    while (start < headers.size()) {
        size_t end = headers.find('\n', start);
        end = end == std::string::npos ? headers.size() : end + 1;
        std::string line = headers.substr(start, end - start);
        std::string lower = line;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        for (const char* name : kSecret) {
            if (lower.rfind(name, 0) == 0) {
                std::string eol = line.substr(line.find_last_not_of("\r\n") + 1);
                line =
                    line.substr(0, std::strlen(name)) + " (hidden; --show-secrets shows it)" + eol;
                break;
            }
        }
        out += line;
        start = end;
    }
    return out;
}

// The form fields to send, after the checks of path and fields that need no network.
KRZPFormParams checkedRequest(const FetchOptions& o) {
    if (o.path.empty() || o.path[0] != '/') {
        throw CommandError(EXIT_USAGE, "the path must start with '/', e.g. /index.html");
    }
    KRZPFormParams params;
    for (const std::string& field : o.form) {
        size_t eq = field.find('=');
        if (eq == std::string::npos || eq == 0) {
            throw CommandError(EXIT_USAGE, "a form field is name=value, not \"" + field + "\"");
        }
        params.addParam(field.substr(0, eq), field.substr(eq + 1));
    }
    if (o.multipart && o.form.empty()) {
        throw CommandError(EXIT_USAGE, "--multipart needs at least one --form field");
    }
    return params;
}

// Sends the request and reads the reply, with Ctrl-C wired to the connection's cancel.
void exchange(const Globals& globals, KRZPAPComm& comm, const FetchOptions& o,
              KRZPFormParams& params) {
    krzpapp::DeviceRequest device;
    device.address = dotted(comm.getAddr());
    device.mac = o.mac;
    krzpapp::Application().reach(device);
    CancelHook cancel;
    cancel.set([&comm] { comm.setCancel(true); });
    bool interrupted = false;
    try {
        interrupted = runInterruptible(
            [&] {
                comm.openConnection(static_cast<unsigned short>(o.port), false);
                if (o.multipart) {
                    comm.writeMultipartPostRequest(o.path, params);
                } else if (!o.form.empty() || o.post) {
                    comm.writePostRequest(o.path, params);
                } else {
                    comm.writeGetRequest(o.path);
                }
                comm.readResponseSynchronous();
            },
            [&] { cancel.fire(); },
            [&] {
                if (globals.json)
                    printDocument(globals, EXIT_CANCELLED, nullptr, true, "cancelled");
                std::cerr << "krzpap: cancelled\n";
            });
    } catch (const KRZPAPCException& e) {
        if (cancel.fired())
            throw CommandError(EXIT_CANCELLED, "cancelled");
        throw describeFailure(e, "fetching " + o.path + " from " + o.address);
    }
    if (interrupted)
        throw CommandError(EXIT_CANCELLED, "cancelled");
}

// A plain GET that the device answers with a redirect to its own HTTPS port is asked again
// there, over TLS (the certificate is checked before the request): as a browser follows it, and
// never to another host.
void followHttpsRedirect(const Globals& globals, KRZPAPComm& comm, FetchOptions& o,
                         KRZPFormParams& params) {
    if (o.https || o.post || o.multipart || !o.form.empty())
        return;
    const std::string location = comm.getResponseHeader("Location");
    unsigned short port =
        KRZPHttpScanner::httpsRedirectPort(comm.getAddr(), comm.getResponseStatus(), location);
    if (port == 0)
        return;
    std::string host, path;
    int ignored = 0;
    bool https = false;
    splitDeviceUrl(location, host, ignored, path, https);
    std::cerr << "krzpap: the device redirects to " << escapeText(location) << "; following it\n";
    o.https = true;
    o.port = port;
    o.path = path;
    comm.setTls(true, o.address);
    exchange(globals, comm, o, params);
}

// Reads at most the bound the library puts on a reply: a page is never bigger.
std::string readBounded(std::istream& in, const std::string& name) {
    std::string page;
    char buffer[65536];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        bool first = page.empty();
        page.append(buffer, static_cast<size_t>(in.gcount()));
        if (first && page.substr(0, 4096).find('\0') != std::string::npos) {
            throw CommandError(EXIT_USAGE, name +
                                               " is not an HTML page (it holds binary "
                                               "data); give the page as a device sends it");
        }
        if (page.size() > kMaxPageBytes) {
            throw CommandError(EXIT_USAGE, name + " is larger than " +
                                               std::to_string(kMaxPageBytes >> 20) +
                                               " MiB, more than any device page; give the "
                                               "HTML page itself");
        }
    }
    if (in.bad()) {
        throw CommandError(EXIT_USAGE, "cannot read " + name + " (" + std::strerror(errno) +
                                           "); give a readable HTML file, or - for standard "
                                           "input");
    }
    return page;
}

std::string readPage(const FormsOptions& o) {
    std::string name = o.file == "-" ? "standard input" : "\"" + escapeText(o.file) + "\"";
    std::string page;
    if (o.file == "-") {
        page = readBounded(std::cin, name);
    } else {
        std::string reason;
        if (!krzprocess::isFileToRead(o.file, reason)) {
            throw CommandError(EXIT_USAGE, "cannot read " + name + " (" + reason +
                                               "); give an HTML file, or - for standard input");
        }
        std::ifstream in(o.file, std::ios::binary);
        if (!in) {
            throw CommandError(EXIT_USAGE, "cannot read " + name + " (" + std::strerror(errno) +
                                               "); give a readable HTML file");
        }
        page = readBounded(in, name);
    }
    return page;
}

// The names of the page's password inputs, whose values are secrets.
std::set<std::string> passwordFields(const std::string& page) {
    std::set<std::string> names;
    KRZPHtmlParser parser(page);
    for (;;) {
        try {
            parser.skipToTag("input");
            AttributeMap attributes = parser.parseAttributes();
            std::string type = KRZPHtmlParser::getAttrib(attributes, "type");
            std::transform(type.begin(), type.end(), type.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            if (type == "password")
                names.insert(KRZPHtmlParser::getAttrib(attributes, "name"));
        } catch (const KRZPAPCException&) {
            return names;
        }
    }
}

// Each <form> in turn with the fields the library reads from it; a page without one is read as a
// single list of fields.
nlohmann::json readForms(const Globals& globals, const std::string& page, bool scripts) {
    std::set<std::string> secret =
        globals.showSecrets ? std::set<std::string>() : passwordFields(page);
    nlohmann::json forms = nlohmann::json::array();
    KRZPHtmlParser parser(page);
    bool sawForm = false;
    for (;;) {
        nlohmann::json form = {{"action", ""}, {"method", ""}, {"fields", nlohmann::json::array()}};
        try {
            parser.skipToTag("form");
            AttributeMap attributes = parser.parseAttributes();
            form["action"] = KRZPHtmlParser::getAttrib(attributes, "action");
            form["method"] = KRZPHtmlParser::getAttrib(attributes, "method");
            sawForm = true;
        } catch (const KRZPAPCException&) {
            if (sawForm)
                break;
            parser.reset();
        }
        try {
            boost::shared_ptr<KRZPFormParams> fields = parser.parseFormParams(scripts);
            for (const auto& field : *fields) {
                bool hidden = secret.count(field.first) != 0 && !field.second.empty();
                form["fields"].push_back(
                    {{"name", field.first},
                     {"value", hidden ? nlohmann::json(nullptr) : nlohmann::json(field.second)}});
            }
        } catch (const KRZPAPCException&) {
            form["error"] = "the page ends inside this form";
        }
        // Fields outside any <form> count only when there are some.
        if (sawForm || !form["fields"].empty() || form.contains("error"))
            forms.push_back(form);
        if (!sawForm || parser.getPosition() == std::string::npos)
            break;
    }
    return forms;
}

// Each <form> as a browser submits it, every field with its control's type. A password's value
// is shown only with --show-secrets.
nlohmann::json readBrowserForms(const Globals& globals, const std::string& page,
                                const std::string& submit) {
    nlohmann::json forms = nlohmann::json::array();
    bool pressed = false;
    for (const KRZPBrowserForm& browserForm : KRZPHtmlParser(page).browserForms(submit)) {
        nlohmann::json form = {
            {"action", KRZPHtmlParser::getAttrib(browserForm.attributes, "action")},
            {"method", KRZPHtmlParser::getAttrib(browserForm.attributes, "method")},
            {"fields", nlohmann::json::array()}};
        for (const KRZPBrowserField& field : browserForm.fields) {
            const nlohmann::json value = field.type == "password" ? secretJson(globals, field.value)
                                                                  : nlohmann::json(field.value);
            form["fields"].push_back(
                {{"name", field.name}, {"value", value}, {"type", field.type}});
            pressed = pressed || field.type == "submit" || field.type == "image";
        }
        forms.push_back(form);
    }
    if (!submit.empty() && !pressed) {
        throw CommandError(
            EXIT_USAGE,
            "no form on this page has an enabled submit button named \"" + submit + "\"");
    }
    return forms;
}

void printForms(const nlohmann::json& forms) {
    if (forms.empty()) {
        std::cout << "No form fields on this page.\n";
    }
    int index = 0;
    for (const auto& form : forms) {
        std::cout << "form " << ++index;
        if (!form["action"].get<std::string>().empty()) {
            std::cout << " action=" << form["action"].get<std::string>();
        }
        if (!form["method"].get<std::string>().empty()) {
            std::cout << " method=" << form["method"].get<std::string>();
        }
        std::cout << "\n";
        for (const auto& field : form["fields"]) {
            std::cout << "  " << field["name"].get<std::string>() << "="
                      << (field["value"].is_null() ? "(hidden; --show-secrets shows it)"
                                                   : field["value"].get<std::string>());
            if (field.contains("type")) {
                std::cout << "  (" << field["type"].get<std::string>() << ")";
            }
            std::cout << "\n";
        }
        if (form.contains("error")) {
            std::cout << "  (" << form["error"].get<std::string>() << ")\n";
        }
    }
}

}  // namespace

int runFetchCommand(const Globals& globals, FetchOptions o) {
    takeUrl(o);
    KRZPFormParams params = checkedRequest(o);
    // One request as the library sends it needs no module.
    initLibrary(globals, false);
    KRZPAPComm comm(o.address);
    if (comm.getAddr().s_addr == INADDR_NONE) {
        throw CommandError(EXIT_USAGE, "unknown host: \"" + o.address +
                                           "\" (give an IPv4 address or a host name)");
    }
    comm.setTimeout(o.timeout);
    comm.setTls(o.https, o.address);
    comm.setAuthInfo(o.user, o.password);
    if (!o.cookie.empty()) {
        comm.setCookie("Cookie", o.cookie);
    }
    exchange(globals, comm, o, params);
    followHttpsRedirect(globals, comm, o, params);
    const std::string& headers = comm.getResponseHeaders();
    const std::string& body = comm.getResponseBody();
    nlohmann::json status = nullptr;
    if (comm.getResponseStatus() != 0)
        status = comm.getResponseStatus();
    if (status.is_null()) {
        throw CommandError(EXIT_ERROR,
                           "the server at " + o.address + ":" + std::to_string(o.port) +
                               " sent no HTTP reply (" +
                               (headers.empty() && body.empty()
                                    ? std::string("it closed the connection before sending "
                                                  "anything")
                                    : std::string("its answer has no status line")) +
                               "); check the address and --port, and the log for what arrived");
    }
    std::string shown = shownHeaders(globals, headers);
    if (globals.json) {
        bool text = krzlab::validUtf8(body);
        printDocument(globals, EXIT_OK,
                      {{"status", status},
                       {"headers", shown},
                       {"body", text ? nlohmann::json(body) : nlohmann::json(nullptr)},
                       {"bodyBase64", text ? nlohmann::json(nullptr)
                                           : nlohmann::json(krzlab::base64Encode(body))}});
    } else {
        std::cout << shown << "\r\n";
        std::cout.write(body.data(), static_cast<std::streamsize>(body.size()));
        std::cout.flush();
    }
    return EXIT_OK;
}

namespace {

Trusted pinShown(std::string address, int requestedPort, const std::string& expected) {
    bool https = address.rfind("http", 0) == 0;
    in_addr device = takeDeviceAddress(address, requestedPort);
    unsigned short port = static_cast<unsigned short>(requestedPort != 0 ? requestedPort : 443);
    if (https)
        port = KRZNetworkBackend::portFor(device, 80);
    // As every command reaches it: a device off the adapters' networks (at its factory address)
    // through its MAC, which then keys the pin.
    krzpapp::DeviceRequest reached;
    reached.address = dotted(device);
    krzpapp::Application().reach(reached);
    KRZPAPComm comm(device);
    comm.setTls(true, address);
    comm.setCertificateCheck([](const std::vector<unsigned char>&) {});  // this is the decision
    comm.openConnection(port, false);
    comm.closeConnection();
    std::vector<unsigned char> der = comm.getPeerCertificate();
    std::string now = TlsTrust::fingerprint(der);
    unsigned short connected = KRZNetworkBackend::portFor(device, port);
    if (!expected.empty() && expected != now)
        throw CommandError(EXIT_ERROR, "the device at " + httpsAddress(device, connected) +
                                           " now shows yet another certificate (SHA-256 " + now +
                                           "); nothing was trusted");
    std::string before = TlsTrust(trustStorePath()).pin(TlsTrust::keyFor(device, connected), der);
    return {httpsAddress(device, connected), now, before};
}

}  // namespace

Trusted trustDevice(const std::string& address, int port, const std::string& expected) {
    try {
        return pinShown(address, port, expected);
    } catch (const KRZPAPCException& e) {
        throw describeFailure(e, "reaching the device");
    }
}

int runTrustCommand(const Globals& globals, const TrustOptions& o) {
    initLibrary(globals, false);
    const auto [shown, now, before] = trustDevice(o.address, o.port);
    if (globals.json) {
        printDocument(
            globals, EXIT_OK,
            {{"address", shown},
             {"sha256", now},
             {"replaced", before.empty() ? nlohmann::json(nullptr) : nlohmann::json(before)}});
    } else {
        std::cout << "trusted " << shown << ": SHA-256 " << now << "\n";
        if (!before.empty() && before != now)
            std::cout << "  (replaces " << before << ")\n";
    }
    return EXIT_OK;
}

int runFormsCommand(const Globals& globals, const FormsOptions& o) {
    nlohmann::json forms = o.asBrowser ? readBrowserForms(globals, readPage(o), o.submit)
                                       : readForms(globals, readPage(o), o.scripts);
    if (globals.json) {
        printDocument(globals, EXIT_OK, {{"forms", forms}});
    } else {
        printForms(forms);
    }
    return EXIT_OK;
}

int runLabCommand(const Globals& globals, const std::vector<std::string>& arguments) {
    if (!arguments.empty() && arguments[0] == "reset") {
        if (arguments.size() > 2) {
            throw CommandError(EXIT_USAGE,
                               "'krzpap lab reset' takes at most one device name, "
                               "not \"" +
                                   arguments[2] + "\"");
        }
        std::string device = arguments.size() > 1 ? arguments[1] : std::string();
        resetBuiltInLab(device);
        if (globals.json) {
            printDocument(globals, EXIT_OK,
                          {{"reset", true},
                           {"device", device.empty() ? nlohmann::json() : nlohmann::json(device)},
                           {"stateFile", labStatePath()}});
        } else if (device.empty()) {
            std::cout << "The built-in lab is back at its starting state.\n";
        } else {
            std::cout << device << " of the built-in lab is back at its factory settings.\n";
        }
        return EXIT_OK;
    }
    if (globals.json) {
        throw CommandError(EXIT_USAGE,
                           "--json does not apply to 'krzpap lab', which runs a lab in the "
                           "foreground and prints its address; leave out --json");
    }
    // The lab program lives beside this one.
    std::string program = krzprocess::executableDirectory() + "krzlab";
    std::string reason = krzprocess::replaceProcess(program, arguments);
    throw CommandError(EXIT_ERROR, "the lab program is not installed beside krzpap (" + program +
                                       ": " + reason + "); reinstall krzpap");
}

}  // namespace krzpap
