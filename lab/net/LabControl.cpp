#include "lab/net/LabControl.h"

#include "platform/krzplatform.h"

#include <algorithm>

#include <stdexcept>

namespace krzlab {

using nlohmann::json;

namespace {

uint32_t addressField(const json& request, const char* key) {
    uint32_t a;
    if (!parseIpv4(request.at(key).get<std::string>(), a))
        throw std::invalid_argument(std::string("bad address in \"") + key + "\"");
    return a;
}

MacBytes macText(const std::string& text) {
    MacBytes m;
    if (!parseMac(text, m))
        throw std::invalid_argument("bad MAC address \"" + text + "\"");
    return m;
}

json adaptersJson(LabNetwork& lab) {
    json list = json::array();
    for (const LabAdapter& a : lab.adapters()) {
        list.push_back({{"name", a.name},
                        {"index", a.index},
                        {"address", formatIpv4(a.address)},
                        {"mask", formatIpv4(a.mask)},
                        {"mac", formatMac(a.mac)}});
        if (a.gateway != 0)
            list.back()["gateway"] = formatIpv4(a.gateway);
    }
    return list;
}

json driverJson(LabNetwork& lab) {
    std::map<uint32_t, uint64_t> table;
    lab.driverTable(table);
    json list = json::array();
    for (const auto& [address, mac] : table) {
        list.push_back(
            {{"address", formatIpv4(ntohl(address))}, {"mac", formatMac(macFromUint64(mac))}});
    }
    return list;
}

json hostJson(LabNetwork& lab) {
    json list = json::array();
    for (const HostArpRow& r : lab.hostTable())
        list.push_back(
            {{"index", r.index}, {"address", formatIpv4(r.address)}, {"mac", formatMac(r.mac)}});
    return list;
}

json resolveJson(LabNetwork& lab, const json& request) {
    MacBytes ifMac{}, devMac{};
    bool hasIf = request.contains("interface"), hasDev = request.contains("mac");
    if (hasIf)
        ifMac = macText(request["interface"].get<std::string>());
    if (hasDev)
        devMac = macText(request["mac"].get<std::string>());
    Route r = lab.resolve(addressField(request, "address"), request.at("port").get<uint16_t>(),
                          hasIf ? &ifMac : nullptr, hasDev ? &devMac : nullptr);
    return {{"ok", true}, {"reachable", r.reachable}, {"port", r.port}};
}

json lookupJson(LabNetwork& lab, const json& request) {
    std::vector<MacBytes> macs;
    for (const json& m : request.at("macs"))
        macs.push_back(macText(m.get<std::string>()));
    MacBytes found{};
    bool ok = lab.lookup(addressField(request, "address"), macs, found);
    json answer = {{"ok", true}, {"found", ok}};
    if (ok)
        answer["interface"] = formatMac(found);
    return answer;
}

// A text field of a request; a missing or mistyped one is named in the error.
std::string textField(const json& request, const char* field, const std::string& op) {
    auto it = request.find(field);
    if (it == request.end() || !it->is_string()) {
        throw std::invalid_argument(op.empty()
                                        ? "a request needs \"op\" (text)"
                                        : "op \"" + op + "\" needs \"" + field + "\" (text)");
    }
    return it->get<std::string>();
}

Fault faultNamed(const std::string& name) {
    try {
        return faultFromName(name);
    } catch (const std::invalid_argument&) {
        std::string names;
        for (int i = 0;; ++i) {
            std::string next = faultName(static_cast<Fault>(i));
            if (i > 0 && next == "none")
                break;
            names += (names.empty() ? "" : ", ") + next;
        }
        throw std::invalid_argument("unknown fault \"" + name + "\"; the faults are: " + names);
    }
}

json deviceOp(LabNetwork& lab, const std::string& op, const json& request) {
    std::string name = textField(request, "name", op);
    std::vector<std::string> names = lab.deviceNames();
    if (std::find(names.begin(), names.end(), name) == names.end()) {
        std::string list;
        for (const std::string& n : names)
            list += (list.empty() ? "" : ", ") + n;
        throw std::invalid_argument("no device \"" + name + "\" in this lab; it has: " + list);
    }
    auto param = request.find("param");
    if (param != request.end() && !param->is_number_integer())
        throw std::invalid_argument("\"param\" is a whole number");
    if (op == "stop")
        lab.stopDevice(name);
    else if (op == "start")
        lab.startDevice(name);
    else if (op == "reset")
        lab.factoryReset(name);
    else if (op == "fault")
        lab.setFault(name, faultNamed(textField(request, "fault", op)), request.value("param", 0));
    return {{"ok", true}, {"device", statusToJson(lab.status(name))}};
}

json dispatch(LabNetwork& lab, const json& request, bool& shutdown) {
    std::string op = textField(request, "op", "");
    if (op == "adapters")
        return {{"ok", true}, {"adapters", adaptersJson(lab)}};
    if (op == "send") {
        std::string frame;
        if (!fromHex(request.at("frame").get<std::string>(), frame))
            throw std::invalid_argument("frame is not hexadecimal");
        uint32_t status = lab.sendFrame(frame, macText(request.at("adapter").get<std::string>()));
        return {{"ok", true}, {"status", status}};
    }
    if (op == "driver-table")
        return {{"ok", true}, {"entries", driverJson(lab)}};
    if (op == "host-table")
        return {{"ok", true}, {"rows", hostJson(lab)}};
    if (op == "resolve")
        return resolveJson(lab, request);
    if (op == "lookup")
        return lookupJson(lab, request);
    if (op == "devices") {
        json list = json::array();
        for (const std::string& name : lab.deviceNames())
            list.push_back(statusToJson(lab.status(name)));
        return {{"ok", true}, {"devices", list}};
    }
    if (op == "device" || op == "stop" || op == "start" || op == "reset" || op == "fault")
        return deviceOp(lab, op, request);
    if (op == "shutdown") {
        shutdown = true;
        return {{"ok", true}};
    }
    throw std::invalid_argument("unknown op \"" + op +
                                "\"; the ops are: adapters, devices, device, stop, start, reset, "
                                "fault, driver-table, host-table, send, resolve, lookup, shutdown");
}

}  // namespace

json statusToJson(const DeviceStatus& status) {
    json j = deviceSpecToJson(status.state);
    j["running"] = status.running;
    j["port"] = status.port;
    j["posted"] = status.posted;
    j["requestsRead"] = status.requestsRead;
    if (status.httpsPort != 0) {
        j["httpsPort"] = status.httpsPort;
        j["tlsPort"] = status.tlsPort;
    }
    j["adapter"] = status.adapter;
    j["linkFault"] = faultName(status.linkFault);
    return j;
}

json handleControlRequest(LabNetwork& lab, const json& request, bool& shutdown) {
    try {
        if (!request.is_object())
            throw std::invalid_argument("a request is a JSON object");
        return dispatch(lab, request, shutdown);
    } catch (const std::exception& e) {
        return {{"ok", false}, {"error", e.what()}};
    }
}

}  // namespace krzlab
