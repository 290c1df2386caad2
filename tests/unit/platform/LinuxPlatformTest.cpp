#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "data/Proxy.h"
#include "platform/LinuxPlatform.h"
#include "tests/support/EnvGuard.h"

namespace fs = std::filesystem;

namespace {

using TestSupport::EnvGuard;

class LinuxPlatformTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "tessra-platform-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        for (const char* name :
             {"TESSRA_APPDATA", "TESSRA_COMMON_APPDATA", "TESSRA_REGISTRY", "TESSRA_ELEVATION",
              "XDG_DATA_HOME", "XDG_CONFIG_HOME", "TEMP", "TMPDIR", "http_proxy", "HTTP_PROXY",
              "https_proxy", "HTTPS_PROXY"})
            env.Set(name, nullptr);
        env.Set("HOME", dir.c_str());
    }
    void TearDown() override { fs::remove_all(dir); }

    void Registry(const std::string& text) {
        std::ofstream(dir + "/registry.cfg") << text;
        env.Set("TESSRA_REGISTRY", (dir + "/registry.cfg").c_str());
    }

    std::string dir;
    EnvGuard env;
    Sys::LinuxPlatform platform;
};

const std::string kInternet = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\";

}  // namespace

TEST_F(LinuxPlatformTest, DataFoldersFollowTheEnvironment) {
    EXPECT_EQ(platform.AppDataFolder(), dir + "/.local/share");
    env.Set("XDG_DATA_HOME", "relative/ignored");
    EXPECT_EQ(platform.AppDataFolder(), dir + "/.local/share");
    env.Set("XDG_DATA_HOME", "/xdg/data/");
    EXPECT_EQ(platform.AppDataFolder(), "/xdg/data");
    env.Set("TESSRA_APPDATA", "/srv/appdata//");
    EXPECT_EQ(platform.AppDataFolder(), "/srv/appdata");

    EXPECT_EQ(platform.CommonAppDataFolder(), "/var/lib");
    env.Set("TESSRA_COMMON_APPDATA", "/srv/common");
    EXPECT_EQ(platform.CommonAppDataFolder(), "/srv/common");

    EXPECT_EQ(platform.TempFolder(), "/tmp");
    env.Set("TMPDIR", "/var/tmp/");
    EXPECT_EQ(platform.TempFolder(), "/var/tmp");
    env.Set("TEMP", "/scratch");
    EXPECT_EQ(platform.TempFolder(), "/scratch");
}

TEST_F(LinuxPlatformTest, CurrentAndOwnExecutableFolders) {
    std::string before = platform.CurrentFolder();
    ASSERT_EQ(chdir(dir.c_str()), 0);
    EXPECT_EQ(fs::path(platform.CurrentFolder()), fs::canonical(dir));
    ASSERT_EQ(chdir(before.c_str()), 0);

    // This test program lies in the folder the platform names.
    EXPECT_TRUE(fs::exists(fs::path(platform.OwnExecutableFolder()) / "data_platform_tests"));
}

TEST_F(LinuxPlatformTest, CommandLineAndArgumentText) {
    const char* argv[] = {"/opt/My Apps/tessra-swm", "/home/u/My Files/req.cfg", "/N", "host"};
    platform.SetArguments(4, argv);
    EXPECT_EQ(platform.CommandLine(),
              "\"/opt/My Apps/tessra-swm\" \"/home/u/My Files/req.cfg\" /N host");
    EXPECT_EQ(platform.ArgumentText(), "\"/home/u/My Files/req.cfg\" /N host");

    platform.SetCommandLine("/opt/tessra/tessra-swm   /alert /N host");
    EXPECT_EQ(platform.CommandLine(), "/opt/tessra/tessra-swm   /alert /N host");
    EXPECT_EQ(platform.ArgumentText(), "/alert /N host");

    platform.SetCommandLine("\"/opt/My Apps/tessra-swm\"\t-reinstall CA");
    EXPECT_EQ(platform.ArgumentText(), "-reinstall CA");

    platform.SetCommandLine("/opt/tessra/tessra-swm");
    EXPECT_EQ(platform.ArgumentText(), "");
    platform.SetCommandLine("");
    EXPECT_EQ(platform.ArgumentText(), "");
    EXPECT_EQ(platform.CommandLine(), "");
}

TEST_F(LinuxPlatformTest, RegistryFileLocation) {
    EXPECT_EQ(Sys::LinuxPlatform::RegistryFilePath(), dir + "/.config/Tessra/registry.cfg");
    env.Set("XDG_CONFIG_HOME", "/xdg/config");
    EXPECT_EQ(Sys::LinuxPlatform::RegistryFilePath(), "/xdg/config/Tessra/registry.cfg");
    env.Set("TESSRA_REGISTRY", "/etc/reg.cfg");
    EXPECT_EQ(Sys::LinuxPlatform::RegistryFilePath(), "/etc/reg.cfg");
}

TEST_F(LinuxPlatformTest, RegistryValuesByPathWithoutRegardToCase) {
    EXPECT_FALSE(platform.RegistryValue("SOFTWARE\\ZVN\\2007\\Edition"));  // no file
    Registry(
        "# edition chosen at install time\n"
        "software\\zvn\\2007\\EDITION = standard\r\n"
        "   # SOFTWARE\\ZVN\\2007\\Edition=commented\n"
        "HKEY_CURRENT_USER\\Software\\Other\\Value=a=b\n"
        "no equals sign here\n"
        "Software\\Other\\Later=1\n"
        "Software\\Other\\Later=2\n");
    EXPECT_EQ(platform.RegistryValue("SOFTWARE\\ZVN\\2007\\Edition"), "standard");
    EXPECT_EQ(platform.RegistryValue("Software\\Other\\Value"), "a=b");
    EXPECT_EQ(platform.RegistryValue("Software\\Other\\Later"), "2");
    EXPECT_FALSE(platform.RegistryValue("SOFTWARE\\ZVN\\2007"));
    EXPECT_FALSE(platform.RegistryValue(kInternet + "ProxyEnable"));
}

TEST_F(LinuxPlatformTest, EnvironmentProxyStandsInForMissingInternetSettings) {
    Registry(kInternet + "AutoConfigURL=http://wpad.example/proxy.pac\n");
    env.Set("http_proxy", "http://proxy.example:3128/");
    env.Set("HTTPS_PROXY", "https://secure.example:3129");
    EXPECT_EQ(platform.RegistryValue(kInternet + "ProxyEnable"), "1");
    EXPECT_EQ(platform.RegistryValue(kInternet + "ProxyServer"),
              "http=proxy.example:3128;https=secure.example:3129");
    EXPECT_EQ(platform.RegistryValue(kInternet + "AutoConfigURL"), "http://wpad.example/proxy.pac");

    env.Set("http_proxy", nullptr);
    env.Set("HTTP_PROXY", "upper.example:8080");
    EXPECT_EQ(platform.RegistryValue(kInternet + "ProxyServer"),
              "http=upper.example:8080;https=secure.example:3129");

    // The file decides when it names either value.
    Registry(kInternet + "ProxyEnable=0\n");
    EXPECT_EQ(platform.RegistryValue(kInternet + "ProxyEnable"), "0");
    EXPECT_FALSE(platform.RegistryValue(kInternet + "ProxyServer"));

    Registry("");
    env.Set("HTTP_PROXY", nullptr);
    env.Set("HTTPS_PROXY", nullptr);
    EXPECT_FALSE(platform.RegistryValue(kInternet + "ProxyEnable"));
}

TEST_F(LinuxPlatformTest, SystemProxyChoiceThroughTheEnvironment) {
    Registry("");
    env.Set("http_proxy", "http://proxy.example:3128/");
    std::ofstream(dir + "/ts07.cfg") << "string:ui_prop_proxy_which=system\n";
    Sys::Install(&platform);
    Data::ProxyChoice choice = Data::ChooseProxy(dir + "/ts07.cfg");
    Sys::Install(nullptr);
    EXPECT_EQ(choice.mode, 1);
    EXPECT_EQ(choice.address, "proxy.example:3128");
}

TEST_F(LinuxPlatformTest, ElevationFlag) {
    EXPECT_EQ(platform.ElevationFlag(), geteuid() != 0);
    env.Set("TESSRA_ELEVATION", "0");
    EXPECT_FALSE(platform.ElevationFlag());
    env.Set("TESSRA_ELEVATION", "1");
    EXPECT_TRUE(platform.ElevationFlag());
}

TEST(RouteTable, DefaultRouteThroughANonLoopbackInterface) {
    const std::string header =
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
    const std::string lan = "eth0\t00000000\t0102A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n";
    const std::string subnet = "eth0\t0002A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n";
    const std::string loop = "lo\t00000000\t00000000\t0001\t0\t0\t0\t00000000\t0\t0\t0\n";
    const std::string down = "eth1\t00000000\t0102A8C0\t0002\t0\t0\t100\t00000000\t0\t0\t0\n";
    EXPECT_TRUE(Sys::LinuxPlatform::DefaultRouteThroughLan(header + subnet + lan));
    EXPECT_FALSE(Sys::LinuxPlatform::DefaultRouteThroughLan(header + subnet));
    EXPECT_FALSE(Sys::LinuxPlatform::DefaultRouteThroughLan(header + loop));
    EXPECT_FALSE(Sys::LinuxPlatform::DefaultRouteThroughLan(header + down));
    EXPECT_FALSE(Sys::LinuxPlatform::DefaultRouteThroughLan(""));
    // The first line holds column titles only.
    EXPECT_FALSE(Sys::LinuxPlatform::DefaultRouteThroughLan(lan));
}
