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

namespace DataTest {

class TempDir {
  public:
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "tessra-data-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

inline void WriteFile(const std::string& path, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

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
