// A fixture for the data layer's suites: the base folder inside a temporary
// XDG_DATA_HOME and a fresh global settings object for every test.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "engine/DataU1.h"
#include "platform/Clock.h"
#include "support/TestSupport.h"

namespace testsupport {

class DataFixture : public ::testing::Test {
protected:
    void SetUp() override { ServerInformation = std::make_unique<TServerInformation>(); }
    void TearDown() override {
        ServerInformation.reset();
        platform::setNowOverride(std::nullopt);
    }
    TServerInformation& si() { return *ServerInformation; }
    const std::string& base() { return ServerInformation->BasePath; }

    ScopedDataHome home_;
};

}  // namespace testsupport
