// Shared set-up of the end-to-end tests: an in-process lab made the active network, the module
// list under test loaded (the sample module by its default name unless KRZ_TEST_MODULES names
// another list), and the library log read back from a file of the test's own.
#pragma once

#include "TestSupport.h"
#include "lab/net/LabNetwork.h"

#include "core/KRZPAPCException.h"
#include "core/KRZPAPConfigurator.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

namespace krztest {

class LabTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Makes `description` the running lab and the process's network.
    void startLab(const krzlab::LabDescription& description);

    std::string logText() const;
    size_t logCount(const std::string& needle) const;

    std::shared_ptr<krzlab::LabNetwork> lab;
    std::string logPath;
};

std::string macText(const KRZPAPConfigurator& conf);

}  // namespace krztest
