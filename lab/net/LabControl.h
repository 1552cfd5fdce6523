// The control protocol of a running lab: one JSON object per line each way, over a TCP
// connection to the lab's control endpoint on 127.0.0.1. Every request has "op"; every answer
// has "ok" (and "error" with a text when false).
//
//   {"op":"adapters"}                          -> "adapters":
//   [{name,index,address,mask,mac[,gateway]}]
//   {"op":"send","adapter":MAC,"frame":HEX}     -> "status": driver status
//   {"op":"driver-table"}                      -> "entries": [{address, mac}]
//   {"op":"host-table"}                        -> "rows": [{index, address, mac}]
//   {"op":"resolve","address":IP,"port":N[,"interface":MAC][,"mac":MAC]}
//                                              -> "reachable": bool, "port": loopback port
//   {"op":"lookup","address":IP,"macs":[MAC..]} -> "found": bool, "interface": MAC
//   {"op":"devices"}                           -> "devices": [status]
//   {"op":"device"|"stop"|"start"|"reset","name":NAME}  -> "device": status
//   {"op":"fault","name":NAME,"fault":"silent","param":N} -> "device": status
//   {"op":"shutdown"}                          -> the lab stops after answering
//
// A device status is the device's settings (as in a lab file) plus "running", "port",
// "adapter" and "linkFault".
#pragma once

#include "lab/net/LabNetwork.h"

#include <nlohmann/json.hpp>

namespace krzlab {

nlohmann::json statusToJson(const DeviceStatus& status);

// Answers one request. Sets `shutdown` for a shutdown request. Never throws: failures become
// {"ok":false,"error":...}.
nlohmann::json handleControlRequest(LabNetwork& lab, const nlohmann::json& request, bool& shutdown);

std::string toHex(const std::string& bytes);
// False for odd lengths or non-hexadecimal characters.
bool fromHex(const std::string& hex, std::string& bytes);

}  // namespace krzlab
