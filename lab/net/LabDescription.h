// What a lab is made of: its adapters and its devices, read from and written to JSON.
//
// JSON form:
//   { "adapters": [ { "name": "lab0", "index": 7, "address": "192.168.77.2",
//                     "mask": "255.255.255.0", "mac": "02:4B:00:00:00:02" } ],
//     "devices":  [ { "name": "acme-1", "family": "acme", "model": "AP-100", "firmware": "...",
//                     "address": "192.168.77.10", "mac": "02:...", "adapter": "lab0",
//                     "username": "...", "password": "...",
//                     "wireless": { "ssid": "...", "security": "...", "encryption": "...",
//                                   "key": "..." },
//                     "factory": { "address": "...", "username": "...", "password": "...",
//                                  "wireless": { ... } },
//                     "fault": "none", "faultParam": 0 },
//                   { "name": "played-1", "recording": "acme.recording.json" } ] }
// "adapter" is optional: a device sits on the link of the first adapter whose network holds its
// address (else its factory address, else the first adapter). Absent texts read as empty, an
// absent factory block as the current settings, an absent fault as "none". A device with a
// "recording" (krzpap record's file, relative to the description's folder) plays it; its address
// and MAC default to the recording's, its family to "recording".
#pragma once

#include "lab/LabDevice.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace krzlab {

struct AdapterSpec {
    std::string name;
    uint32_t index = 0;
    std::string address;  // dotted IPv4
    std::string mask;     // dotted IPv4
    std::string mac;
    std::string gateway;  // dotted IPv4 of the network's router; empty: none
};

struct LabDeviceEntry {
    DeviceSpec profile;
    std::string adapter;  // empty: chosen by address
};

struct LabDescription {
    std::vector<AdapterSpec> adapters;
    std::vector<LabDeviceEntry> devices;

    // Throws std::invalid_argument (with the offending field) for a description that cannot run:
    // bad addresses or MACs, duplicate names, an unknown adapter, no adapter at all.
    // A device's "recording" file is read relative to `folder` (the description file's folder
    // for fromFile; empty: the working folder).
    static LabDescription fromJson(const nlohmann::json& json, const std::string& folder = "");
    static LabDescription fromText(const std::string& text, const std::string& folder = "");
    static LabDescription fromFile(const std::string& path);
    nlohmann::json toJson() const;

    // One adapter "lab0" on 192.168.77.0/24 with an acme, a borealis, two corvids (one at
    // factory defaults, its factory address outside the network), a printer and a live address
    // without a web server.
    static LabDescription defaultLab();
    // One adapter on 192.168.77.0/24 with `count` (at most 250) healthy devices of all families.
    static LabDescription generated(int count);
};

nlohmann::json wirelessToJson(const WirelessSettings& w);
nlohmann::json deviceSpecToJson(const DeviceSpec& profile);

}  // namespace krzlab
