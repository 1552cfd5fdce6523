#include "lab/net/LabControlClient.h"

#include "lab/net/LabControl.h"
#include "lab/net/LineSocket.h"

#include "platform/krzplatform.h"

#include <stdexcept>

namespace krzlab {

using nlohmann::json;

struct LabControlClient::Connection {
    LineSocket socket;
};

LabControlClient::LabControlClient(const std::string& address) : conn_(new Connection) {
    const std::string prefix = "127.0.0.1:";
    unsigned long port = 0;
    if (address.compare(0, prefix.size(), prefix) == 0) {
        std::string digits = address.substr(prefix.size());
        if (!digits.empty() && digits.size() <= 5 &&
            digits.find_first_not_of("0123456789") == std::string::npos)
            port = std::stoul(digits);
    }
    if (port == 0 || port > 65535)
        throw std::invalid_argument("a lab is joined at 127.0.0.1:<port>, not \"" + address + "\"");
    port_ = static_cast<unsigned short>(port);
}

LabControlClient::~LabControlClient() = default;

json LabControlClient::request(const json& req) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string text = req.dump(), line;
    // One retry on a fresh connection: the lab may have closed an idle one.
    for (int attempt = 0; attempt < 2; ++attempt) {
        LineSocket& s = conn_->socket;
        if (!s.isOpen() && !s.connectLoopback(port_))
            break;
        if (s.writeLine(text) && s.readLine(line)) {
            json answer = json::parse(line, nullptr, false);
            if (answer.is_discarded())
                throw std::runtime_error("lab answered with bad JSON");
            return answer;
        }
        s.close();
    }
    throw std::runtime_error("lab at 127.0.0.1:" + std::to_string(port_) + " does not answer");
}

json LabControlClient::checked(const json& req) {
    json answer = request(req);
    if (!answer.value("ok", false))
        throw std::runtime_error("lab: " + answer.value("error", std::string("failed")));
    return answer;
}

std::vector<LabAdapter> LabControlClient::adapters() {
    std::vector<LabAdapter> out;
    try {
        json answer = checked({{"op", "adapters"}});
        for (const json& j : answer.at("adapters")) {
            LabAdapter a;
            a.name = j.at("name").get<std::string>();
            a.index = j.at("index").get<uint32_t>();
            if (parseIpv4(j.at("address").get<std::string>(), a.address) &&
                parseIpv4(j.at("mask").get<std::string>(), a.mask) &&
                parseMac(j.at("mac").get<std::string>(), a.mac) &&
                (!j.contains("gateway") ||
                 parseIpv4(j.at("gateway").get<std::string>(), a.gateway)))
                out.push_back(a);
        }
    } catch (const std::exception&) {
        out.clear();
    }
    return out;
}

uint32_t LabControlClient::sendFrame(const std::string& frame, const MacBytes& adapterMac) {
    try {
        return checked(
                   {{"op", "send"}, {"adapter", formatMac(adapterMac)}, {"frame", toHex(frame)}})
            .at("status")
            .get<uint32_t>();
    } catch (const std::exception&) {
        return kStatusFailure;
    }
}

bool LabControlClient::driverTable(std::map<uint32_t, uint64_t>& table) {
    try {
        std::map<uint32_t, uint64_t> read;
        json answer = checked({{"op", "driver-table"}});
        for (const json& e : answer.at("entries")) {
            uint32_t a;
            MacBytes m;
            if (!parseIpv4(e.at("address").get<std::string>(), a) ||
                !parseMac(e.at("mac").get<std::string>(), m))
                continue;
            read.emplace(htonl(a), macToUint64(m));
        }
        table = read;
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

std::vector<HostArpRow> LabControlClient::hostTable() {
    std::vector<HostArpRow> rows;
    try {
        json answer = checked({{"op", "host-table"}});
        for (const json& r : answer.at("rows")) {
            HostArpRow row;
            row.index = r.at("index").get<uint32_t>();
            if (parseIpv4(r.at("address").get<std::string>(), row.address) &&
                parseMac(r.at("mac").get<std::string>(), row.mac))
                rows.push_back(row);
        }
    } catch (const std::exception&) {
        rows.clear();
    }
    return rows;
}

Route LabControlClient::resolve(uint32_t address, uint16_t port, const MacBytes* interfaceMac,
                                const MacBytes* deviceMac) {
    json req = {{"op", "resolve"}, {"address", formatIpv4(address)}, {"port", port}};
    if (interfaceMac)
        req["interface"] = formatMac(*interfaceMac);
    if (deviceMac)
        req["mac"] = formatMac(*deviceMac);
    try {
        json answer = checked(req);
        return Route{answer.at("reachable").get<bool>(), answer.at("port").get<uint16_t>()};
    } catch (const std::exception&) {
        return Route{};
    }
}

bool LabControlClient::lookup(uint32_t address, const std::vector<MacBytes>& macs,
                              MacBytes& interfaceMac) {
    json list = json::array();
    for (const MacBytes& m : macs)
        list.push_back(formatMac(m));
    try {
        json answer = checked({{"op", "lookup"}, {"address", formatIpv4(address)}, {"macs", list}});
        return answer.at("found").get<bool>() &&
               parseMac(answer.at("interface").get<std::string>(), interfaceMac);
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace krzlab
