// Each command's options, as the command line gives them, and the command that takes them.
#pragma once

#include "CliHost.h"

#include "app/KRZPApp.h"

#include <string>
#include <vector>

namespace krzpap {

struct ScanOptions {
    std::vector<std::string> adapters;  // -I: names or addresses; empty: every usable adapter
    bool all = false;                   // also list hosts that answered but were not recognized
};
int runScanCommand(const Globals& globals, const ScanOptions& options);

struct DeviceOptions {
    std::string address;  // dotted IPv4, or http://HOST[:PORT]
    int port = 0;         // --port; 0: the address's, else 80
    std::string mac;      // carry the connections to this device; empty: by ARP where needed
    std::string user;
    std::string password;
    bool haveUser = false;
    bool havePassword = false;
};
int runShowCommand(const Globals& globals, const DeviceOptions& device);

struct ConfigureOptions {
    std::string ssid;
    bool haveSsid = false;
    std::string security;
    std::string encryption;
    std::string key;
    bool haveKey = false;
    std::string newUser;
    bool haveNewUser = false;
    std::string newPassword;
    bool haveNewPassword = false;
};
int runConfigureCommand(const Globals& globals, const DeviceOptions& device,
                        const ConfigureOptions& options);

int runFindCommand(const Globals& globals, const std::vector<std::string>& macs);

struct DefaultsOptions {
    std::string ssid;
    std::string bssid;
    int channel = 0;
    bool privacy = false;
    std::string rsn;
};
int runDefaultsCommand(const Globals& globals, const DefaultsOptions& options);

struct FetchOptions {
    std::string address;
    std::string mac;
    std::string path;
    int port = 80;
    int timeout = 10;
    std::string user;
    std::string password;
    std::vector<std::string> form;
    bool multipart = false;
    bool post = false;
    std::string cookie;
    bool https = false;  // from an https:// URL
};
int runFetchCommand(const Globals& globals, FetchOptions options);

struct TrustOptions {
    std::string address;
    int port = 0;
};
int runTrustCommand(const Globals& globals, const TrustOptions& options);

struct FormsOptions {
    std::string file = "-";
    bool scripts = false;
    bool asBrowser = false;  // the fields a browser submits, with their control types
    std::string submit;      // with asBrowser: the name of the submit button pressed; empty: none
};
int runFormsCommand(const Globals& globals, const FormsOptions& options);

struct RecordOptions {
    krzpapp::RecordRequest request;  // the device's address and port, the bounds, the changes
    std::string user;
    std::string password;
    bool haveUser = false;
    bool havePassword = false;
    std::string output;
};
int runRecordCommand(const Globals& globals, const RecordOptions& options);

struct DescribeOptions {
    std::string recording;
    std::string output;  // empty or "-": standard output
};
int runDescribeCommand(const Globals& globals, const DescribeOptions& options);

int runLabCommand(const Globals& globals, const std::vector<std::string>& arguments);

}  // namespace krzpap
