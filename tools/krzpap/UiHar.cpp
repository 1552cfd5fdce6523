// krzpap ui: a HAR file a person's browser saved, read into a draft description the page shows
// in plain words, then written where the description module loads it once the person confirms.
// The HAR is read in memory and never kept: it holds the password in clear.
#include "PageRequests.h"
#include "UiHar.h"
#include "UiHttp.h"

#include "app/KRZPApp.h"
#include "platform/krzprocess.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>

namespace krzpap {

namespace {

using json = nlohmann::json;

// The HAR reader's own bound, and room for the request's other fields and JSON's escapes of it.
constexpr size_t kHarUpload = (100u << 20) + (1u << 20);

std::string answer(const json& j) {
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

void refuse(int& code, std::string& reply, int status, const std::string& why,
            const std::string& field) {
    code = status;
    reply = answer({{"error", why}, {"field", field.empty() ? json() : json(field)}});
}

// The body as an object of text fields, each checked; anything else names the field.
json fieldsOf(const std::string& body, const std::vector<std::string>& allowed,
              const std::vector<std::string>& required) {
    json j = json::parse(body, nullptr, false);
    if (!j.is_object())
        throw PageRequestError("", "the request must be a JSON object");
    for (auto it = j.begin(); it != j.end(); ++it) {
        if (std::find(allowed.begin(), allowed.end(), it.key()) == allowed.end())
            throw PageRequestError(it.key(), it.key() + " is not asked here");
        if (!it->is_string())
            throw PageRequestError(it.key(), it.key() + " must be text");
    }
    for (const std::string& name : required)
        if (!j.contains(name) || j[name].get<std::string>().empty())
            throw PageRequestError(name, name + " is missing");
    return j;
}

// The marks of one list under the draft's "draft", as sentences.
json marks(const json& draft, const char* list, const char* field) {
    json out = json::array();
    for (const json& m : draft.value("draft", json::object()).value(list, json::array()))
        out.push_back(m.value("pointer", "") + ": " + m.value(field, ""));
    return out;
}

// What each step of a list asks, as a person reads it: "POST /api/login".
json stepsOf(const json& steps) {
    json out = json::array();
    for (const json& s : steps.is_array() ? steps : json::array()) {
        bool body = s.contains("urlencoded") || s.contains("json") || s.contains("multipart") ||
                    s.contains("text");
        out.push_back(s.value("method", body ? "POST" : "GET") + " " + s.value("path", ""));
    }
    return out;
}

void readHar(const std::string& body, int& code, std::string& reply) {
    krzpapp::HarRequest request;
    try {
        json j = fieldsOf(body, {"har", "password", "address"}, {"har"});
        request.har = j["har"].get<std::string>();
        request.password = j.value("password", "");
        request.address = j.value("address", "");
    } catch (const PageRequestError& e) {
        return refuse(code, reply, 400, e.what(), e.field());
    }
    krzpapp::HarResult imported;
    krzpapp::DescribeResult described;
    try {
        imported = krzpapp::Application::importHar(request);
        described = krzpapp::Application().describe(imported.recording, "the HAR file");
    } catch (const krzpapp::Error& e) {
        return refuse(code, reply, 400, e.what(), "har");
    }
    const json draft = json::parse(described.description);
    const json changes = draft.value("changes", json::array());
    const json login = draft.value("login", json::object());
    // Named after the make and model the draft guessed, else after the address.
    std::string name = imported.host;
    const json models = draft.value("models", json::array());
    if (draft.value("vendor", "") != "" && draft["vendor"].get<std::string>() != "GAP")
        name = draft["vendor"].get<std::string>() +
               (models.size() == 1 && models[0].is_string() && models[0] != "GAP"
                    ? "-" + models[0].get<std::string>()
                    : std::string());
    for (char& c : name)
        c = std::isalnum(static_cast<unsigned char>(c)) ? static_cast<char>(std::tolower(c)) : '-';
    reply = answer(
        {{"device", imported.host},
         {"exchanges", imported.exchanges},
         {"otherHosts", imported.otherHosts},
         {"sanitized", imported.sanitized},
         {"notes", imported.notes},
         {"login", imported.login},
         {"loginSteps", stepsOf(login.value("steps", json::array()))},
         {"passwordSent", draft.value("values", json::object())},
         {"changeSteps", stepsOf(changes.empty() ? json() : changes[0].value("steps", json()))},
         {"guesses", marks(draft, "guesses", "why")},
         {"gaps", marks(draft, "gaps", "need")},
         {"name", name},
         {"draft", described.description}});
}

}  // namespace

std::string descriptionsFolder(std::string& reason) {
    std::string listed = krzprocess::environment("KRZ_APDESCRIPTION_DIRS");
    std::string first = listed.substr(0, listed.find(';'));
    if (!first.empty())
        return first;
    std::string state = krzprocess::userStateDirectory("krzpap", reason);
    return state.empty() ? state : state + "/descriptions";
}

namespace {

void saveDraft(const std::string& body, int& code, std::string& reply) {
    json j;
    try {
        j = fieldsOf(body, {"name", "description"}, {"name", "description"});
        std::string name = j["name"].get<std::string>();
        bool plain = name.size() <= 64 && name[0] != '-' && name[0] != '.' &&
                     std::all_of(name.begin(), name.end(), [](char c) {
                         return std::isalnum(static_cast<unsigned char>(c)) || c == '-' ||
                                c == '_' || c == '.';
                     });
        if (!plain)
            throw PageRequestError("name",
                                   "name must be up to 64 letters, digits, '-', '_' or '.', not "
                                   "starting with '-' or '.'");
        json description = json::parse(j["description"].get<std::string>(), nullptr, false);
        if (!description.is_object() || description.value("format", 0) != 2)
            throw PageRequestError("description", "description must be a format-2 description");
    } catch (const PageRequestError& e) {
        return refuse(code, reply, 400, e.what(), e.field());
    }
    std::string reason;
    std::string folder = descriptionsFolder(reason);
    std::error_code ec;
    if (folder.empty() || (std::filesystem::create_directories(folder, ec), ec))
        return refuse(code, reply, 500,
                      "cannot make the descriptions folder " + folder + " " + reason + ec.message(),
                      "");
    std::string file = folder + "/" + j["name"].get<std::string>() + ".json";
    if (std::filesystem::exists(file, ec))
        return refuse(code, reply, 409,
                      file + " exists already; choose another name or remove that file", "name");
    if (!krzprocess::writeFileAtomically(file, j["description"].get<std::string>() + "\n"))
        return refuse(code, reply, 500, "cannot write " + file, "");
    reply = answer(
        {{"file", file}, {"loaded", !krzprocess::environment("KRZ_APDESCRIPTION_DIRS").empty()}});
}

}  // namespace

void addHarRoutes(UiHttp& http) {
    http.post("/api/har", readHar, kHarUpload);
    http.post("/api/har/save", saveDraft);
}

}  // namespace krzpap
