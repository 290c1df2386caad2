#pragma once
// Temporary folders and files for the data tests, and a fixture that installs
// the fake platform.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/FakePlatform.h"
#include "tests/support/TestFiles.h"

namespace DataTest {

using TestSupport::ReadFile;
using TestSupport::TempDir;
using TestSupport::WriteFile;

// Installs a fake platform whose data folders lie in a fresh temporary folder.
class FakePlatformTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake.appData = dir / "appdata";
        fake.commonAppData = dir / "common";
        fake.currentFolder = dir.Path();
        Sys::Install(&fake);
    }
    void TearDown() override { Sys::Install(nullptr); }

    TempDir dir;
    Sys::FakePlatform fake;
};

}  // namespace DataTest
