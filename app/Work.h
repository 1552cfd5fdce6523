// The steps of the device operations, as the application layer runs them: one device opened,
// checked, changed and read back, each step's failure as the layer's Error.
#pragma once

#include "app/Describer.h"
#include "app/DeviceAccess.h"
#include "app/KRZPApp.h"
#include "app/Recorder.h"

#include <boost/shared_ptr.hpp>

#include <string>
#include <vector>

namespace krzpap {

// Runs one public operation of a configurator, turning its failure into the layer's.
template <typename F>
auto deviceStep(const std::string& what, F&& step) -> decltype(step()) {
    try {
        return step();
    } catch (const KRZPAPCException& e) {
        throw describeFailure(e, what);
    }
}

// A recognized device as the scan lists it; with its settings and the rules of its fields.
krzpapp::Device deviceOf(const KRZPAPConfigurator& conf);
krzpapp::Settings settingsOf(KRZPAPConfigurator& conf);

// Recognizes the device, logs in and checks the login, as every device operation starts. With
// `credentials` those are used instead of the request's.
boost::shared_ptr<KRZPAPConfigurator> openDevice(
    const krzpapp::DeviceRequest& device, CancelHook& cancel,
    const std::pair<std::string, std::string>* credentials = nullptr);

// The device's own rules, checked before anything is changed.
void checkDeviceRules(KRZPAPConfigurator& conf, const krzpapp::ConfigureRequest& o);
// Writes the asked changes through the device's configuration session.
void applyChanges(KRZPAPConfigurator& conf, const krzpapp::ConfigureRequest& o);
// A fresh configurator that logs in with the new credentials, as a host would after a restart:
// a login that works confirms them.
boost::shared_ptr<KRZPAPConfigurator> reopenWithNewCredentials(const krzpapp::DeviceRequest& device,
                                                               const KRZPAPConfigurator& conf,
                                                               const krzpapp::ConfigureRequest& o,
                                                               CancelHook& cancel);
// Each change as asked, and whether the device read back holds it.
std::vector<krzpapp::Change> compareChanges(const krzpapp::ConfigureRequest& o,
                                            const KRZPAPConfigurator& check);

}  // namespace krzpap
