// fetch, forms, lab: what module authors use to study a device's pages.
#include "Cli.h"
#include "DeviceAccess.h"

#include "html/KRZPHtmlParser.h"
#include "http/KRZPAPComm.h"
#include "http/KRZPFormParams.h"
#include "http/KRZPMultipartParams.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

namespace krzpap {

int runFetchCommand(const Globals& globals, const FetchOptions& o) {
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
    // One request as the library sends it needs no module.
    initLibrary(globals, false);
    KRZPAPComm comm(o.address);
    if (comm.getAddr().s_addr == INADDR_NONE) {
        throw CommandError(EXIT_USAGE, "unknown host: \"" + o.address + "\"");
    }
    comm.setTimeout(o.timeout);
    comm.setAuthInfo(o.user, o.password);
    if (!o.cookie.empty()) {
        comm.setCookie("Cookie", o.cookie);
    }
    CancelHook cancel;
    carryToDevice(comm.getAddr(), o.mac, cancel);
    cancel.set([&comm] { comm.setCancel(true); });
    try {
        runInterruptible(
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
            [&] { cancel.fire(); });
    } catch (const KRZPAPCException& e) {
        throw describeFailure(e, "fetching " + o.path + " from " + o.address);
    }
    const std::string& headers = comm.getResponseHeaders();
    const std::string& body = comm.getResponseBody();
    if (globals.json) {
        printJson({{"headers", headers}, {"body", body}});
    } else {
        std::cout << headers << "\r\n";
        std::cout.write(body.data(), static_cast<std::streamsize>(body.size()));
        std::cout.flush();
    }
    return EXIT_OK;
}

int runFormsCommand(const Globals& globals, const FormsOptions& o) {
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
    nlohmann::json forms = nlohmann::json::array();
    KRZPHtmlParser parser(page);
    // Each <form> in turn; a page without one is read as a single list of fields.
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
            boost::shared_ptr<KRZPFormParams> fields = parser.parseFormParams(o.scripts);
            for (const auto& field : *fields) {
                form["fields"].push_back({{"name", field.first}, {"value", field.second}});
            }
        } catch (const KRZPAPCException& e) {
            form["error"] = narrow(e.getLogLine());
        }
        forms.push_back(form);
        if (!sawForm || parser.getPosition() == std::string::npos)
            break;
    }
    if (globals.json) {
        printJson({{"forms", forms}});
        return EXIT_OK;
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
                      << field["value"].get<std::string>() << "\n";
        }
        if (form.contains("error")) {
            std::cout << "  (the page ends inside the form: " << form["error"].get<std::string>()
                      << ")\n";
        }
    }
    return EXIT_OK;
}

int runLabCommand(const std::vector<std::string>& arguments) {
    // The lab program lives beside this one.
    char self[PATH_MAX] = {0};
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string();
    dir = dir.substr(0, dir.rfind('/') + 1);
    std::string program = dir + "krzlab";
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : arguments) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    throw CommandError(EXIT_ERROR, "cannot run " + program + ": " + std::strerror(errno));
}

}  // namespace krzpap
