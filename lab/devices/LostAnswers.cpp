#include "lab/devices/LostAnswers.h"

#include "lab/devices/FormCoding.h"

namespace krzlab {

namespace {

using nlohmann::json;

const json& member(const json& j, const char* name) {
    static const json none;
    return j.is_object() && j.contains(name) ? j[name] : none;
}

// The steps of `list` that name a path; pointers into the description, which outlives them.
void stepsOf(const json& list, std::vector<const json*>& out) {
    if (list.is_array())
        for (const json& step : list)
            if (step.is_object() && step.contains("path") && step["path"].is_string())
                out.push_back(&step);
}

std::vector<const json*> allSteps(const json& d) {
    std::vector<const json*> steps;
    stepsOf(member(member(d, "login"), "steps"), steps);
    stepsOf(member(member(d, "login"), "logout"), steps);
    if (member(d, "changes").is_array())
        for (const json& change : d["changes"]) {
            stepsOf(member(change, "steps"), steps);
            stepsOf(member(change, "confirm"), steps);
        }
    return steps;
}

// Writes `value` at `pointer`; a pointer that names no place to write is left out.
void put(json& body, const std::string& pointer, const json& value) {
    try {
        body[json::json_pointer(pointer)] = value;
    } catch (const json::exception&) {
    }
}

json answerFor(const json& step, const json& rebuilt) {
    json body = json::object();
    const json expect = step.value("expect", json::object());
    if (expect.is_object() && expect.contains("json") && expect["json"].is_object())
        for (auto it = expect["json"].begin(); it != expect["json"].end(); ++it)
            put(body, it.key(), it.value());
    const json capture = step.value("capture", json::object());
    // The tokens no capture names, for the captures named otherwise, in order.
    std::vector<std::string> tokens;
    for (auto it = rebuilt.begin(); it != rebuilt.end(); ++it)
        if (it->is_string() && !(capture.is_object() && capture.contains(it.key())))
            tokens.push_back(it->get<std::string>());
    size_t next = 0;
    for (auto it = capture.begin(); capture.is_object() && it != capture.end(); ++it) {
        if (!it->is_object() || !it->contains("json") || !(*it)["json"].is_string())
            continue;
        std::string value = rebuilt.contains(it.key()) && rebuilt[it.key()].is_string()
                                ? rebuilt[it.key()].get<std::string>()
                            : next < tokens.size() ? tokens[next++]
                                                   : "filled-" + it.key();
        put(body, (*it)["json"].get<std::string>(), value);
    }
    return body;
}

}  // namespace

std::vector<std::string> fillLostAnswers(Recording& recording, const json& description) {
    std::vector<std::string> filled;
    if (!description.is_object())
        return filled;
    const std::vector<const json*> steps = allSteps(description);
    for (Exchange& e : recording.exchanges) {
        if (!e.reply.rebuilt)
            continue;
        for (const json* step : steps) {
            const std::string path = (*step)["path"].get<std::string>();
            if (pathOf(path).find('{') != std::string::npos ||
                pathOf(path) != pathOf(e.request.target))
                continue;
            json rebuilt = json::parse(e.reply.body, nullptr, false);
            e.reply.body = answerFor(*step, rebuilt.is_object() ? rebuilt : json::object()).dump();
            filled.push_back(e.request.method + " " + pathOf(e.request.target));
            break;
        }
    }
    return filled;
}

}  // namespace krzlab
