// fetch, forms, lab: what module authors use to study a device's pages.
#include "Cli.h"
#include "DeviceAccess.h"

#include "html/KRZPHtmlParser.h"
#include "http/KRZPAPComm.h"
#include "http/KRZPFormParams.h"
#include "http/KRZPMultipartParams.h"
#include "platform/krzprocess.h"
#include "platform/krzplatform.h"

#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

namespace krzpap {

namespace {

// "http://host[:port][/path]" as curl users give it, taken apart into the options.
void takeUrl(FetchOptions& o) {
    const std::string scheme = "http://";
    if (o.address.rfind("https://", 0) == 0) {
        throw CommandError(EXIT_USAGE,
                           "krzpap speaks plain HTTP only, as the devices' admin "
                           "pages do; give http://...");
    }
    if (o.address.rfind(scheme, 0) != 0) {
        if (o.path.empty())
            o.path = "/";
        return;
    }
    if (!o.path.empty()) {
        throw CommandError(EXIT_USAGE, "give either a URL or an address and a path, not both");
    }
    std::string rest = o.address.substr(scheme.size());
    size_t slash = rest.find('/');
    std::string host = rest.substr(0, slash);
    o.path = slash == std::string::npos ? "/" : rest.substr(slash);
    size_t colon = host.find(':');
    if (colon != std::string::npos) {
        std::string port = host.substr(colon + 1);
        if (port.empty() || port.size() > 5 ||
            port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) < 1 ||
            std::stoi(port) > 65535) {
            throw CommandError(EXIT_USAGE, "not a port: \"" + port + "\" in " + o.address);
        }
        o.port = std::stoi(port);
        host = host.substr(0, colon);
    }
    o.address = host;
}

nlohmann::json statusCode(const std::string& headers) {
    // "HTTP/1.1 200 OK"; a reply without a status line has none.
    if (headers.rfind("HTTP/", 0) != 0)
        return nullptr;
    size_t space = headers.find(' ');
    if (space == std::string::npos || space + 4 > headers.size())
        return nullptr;
    std::string digits = headers.substr(space + 1, 3);
    if (digits.find_first_not_of("0123456789") != std::string::npos)
        return nullptr;
    return std::stoi(digits);
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
    CancelHook cancel;
    carryToDevice(comm.getAddr(), o.mac, cancel);
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

std::string readPage(const FormsOptions& o) {
    std::string page;
    if (o.file == "-") {
        page.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    } else {
        std::ifstream in(o.file, std::ios::binary);
        if (!in) {
            throw CommandError(EXIT_USAGE, "cannot read \"" + o.file + "\"");
        }
        page.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    if (page.substr(0, 4096).find('\0') != std::string::npos) {
        throw CommandError(EXIT_USAGE, "\"" + o.file +
                                           "\" is not an HTML page (it holds binary "
                                           "data)");
    }
    return page;
}

// Each <form> in turn with the fields the library reads from it; a page without one is read as a
// single list of fields.
nlohmann::json readForms(const std::string& page, bool scripts) {
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
                form["fields"].push_back({{"name", field.first}, {"value", field.second}});
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
    comm.setAuthInfo(o.user, o.password);
    if (!o.cookie.empty()) {
        comm.setCookie("Cookie", o.cookie);
    }
    exchange(globals, comm, o, params);
    const std::string& headers = comm.getResponseHeaders();
    const std::string& body = comm.getResponseBody();
    if (globals.json) {
        printDocument(globals, EXIT_OK,
                      {{"status", statusCode(headers)}, {"headers", headers}, {"body", body}});
    } else {
        std::cout << headers << "\r\n";
        std::cout.write(body.data(), static_cast<std::streamsize>(body.size()));
        std::cout.flush();
    }
    return EXIT_OK;
}

int runFormsCommand(const Globals& globals, const FormsOptions& o) {
    nlohmann::json forms = o.asBrowser ? readBrowserForms(globals, readPage(o), o.submit)
                                       : readForms(readPage(o), o.scripts);
    if (globals.json) {
        printDocument(globals, EXIT_OK, {{"forms", forms}});
    } else {
        printForms(forms);
    }
    return EXIT_OK;
}

int runLabCommand(const Globals& globals, const std::vector<std::string>& arguments) {
    if (!arguments.empty() && arguments[0] == "reset") {
        if (arguments.size() > 1) {
            throw CommandError(EXIT_USAGE, "'krzpap lab reset' takes nothing more");
        }
        std::string state = labStatePath();
        if (!krzprocess::removeFile(state)) {
            throw CommandError(EXIT_ERROR, "cannot remove " + state);
        }
        if (globals.json) {
            printDocument(globals, EXIT_OK, {{"reset", true}, {"stateFile", state}});
        } else {
            std::cout << "The built-in lab is back at its starting state.\n";
        }
        return EXIT_OK;
    }
    // The lab program lives beside this one.
    std::string program = krzprocess::executableDirectory() + "krzlab";
    std::string reason = krzprocess::replaceProcess(program, arguments);
    throw CommandError(EXIT_ERROR, "the lab program is not installed beside krzpap (" + program +
                                       ": " + reason + "); reinstall krzpap");
}

}  // namespace krzpap
