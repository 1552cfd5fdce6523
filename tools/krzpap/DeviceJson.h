// The application layer's requests and results as krzpap's options and JSON documents, for the
// command line and the page alike (see krzpap-output.schema.json).
#pragma once

#include "CliOptions.h"

#include "app/KRZPApp.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace krzpap {

nlohmann::json orNull(const std::string& text);

krzpapp::DeviceRequest deviceRequest(const DeviceOptions& device);
krzpapp::ConfigureRequest configureRequest(const ConfigureOptions& o);

// A device as the scan lists it; with its settings; and with the rules of its fields as well.
nlohmann::json deviceJson(const krzpapp::Device& device);
nlohmann::json settingsJson(const Globals& globals, const krzpapp::Settings& settings);
nlohmann::json shownJson(const Globals& globals, const krzpapp::Settings& settings);
// The hosts a scan found, in address order; with `all` also those no module recognized.
nlohmann::json scanDevicesJson(const std::vector<krzpapp::Device>& devices, bool all);
// Each change as asked (secrets as output shows them) and whether the device kept it.
nlohmann::json changesJson(const Globals& globals, const std::vector<krzpapp::Change>& changes);
nlohmann::json findResultsJson(const std::vector<krzpapp::Sighting>& results);
nlohmann::json defaultsJson(const krzpapp::DefaultsVerdict& verdict);

}  // namespace krzpap
