// The proxy choice: ts07.cfg and the registry stand-in file together. The input
// is the settings text, a line "%%", then the registry text. The automatic
// configuration script is never fetched here (no AutoConfigURL reaches it).
#include <cstdint>
#include <cstdlib>
#include <string>

#include "FuzzSupport.h"
#include "data/Proxy.h"
#include "data/Text.h"
#include "platform/LinuxPlatform.h"

using namespace Data;

namespace {

constexpr const char* kSettings =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\";

class OfflinePlatform : public Sys::LinuxPlatform {
  public:
    std::optional<std::string> RegistryValue(const std::string& path) override {
        if (path.ends_with("AutoConfigURL")) return std::nullopt;
        return LinuxPlatform::RegistryValue(path);
    }
};

// A bare CR inside a line is an ordinary character; a line feed never is.
bool Clean(const std::string& value) {
    return value.find('\n') == std::string::npos && StripBoth(value, " \t") == value;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY"})
        unsetenv(name);
    setenv("TESSRA_REGISTRY", Fuzz::ScratchPath("registry.cfg").c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static OfflinePlatform platform;
    Sys::Install(&platform);
    std::string_view input(reinterpret_cast<const char*>(data), size);
    size_t split = input.find("\n%%\n");
    std::string_view settingsText = input.substr(0, split);
    std::string_view registryText =
        split == std::string_view::npos ? std::string_view() : input.substr(split + 4);
    const std::string ts07 = Fuzz::ScratchPath("ts07.cfg");
    Fuzz::WriteFile(ts07, settingsText);
    Fuzz::WriteFile(Fuzz::ScratchPath("registry.cfg"), registryText);
    platform.SetCommandLine("tessra-swm /tmp/download.cfg /N updates.example.com");

    // Registry values come back trimmed, each from one line.
    const std::optional<std::string> enable =
        platform.RegistryValue(std::string(kSettings) + "ProxyEnable");
    const std::optional<std::string> server =
        platform.RegistryValue(std::string(kSettings) + "ProxyServer");
    for (const auto& value : {enable, server})
        if (value) FUZZ_CHECK(Clean(*value));

    ProxySettings read;
    ReadProxySettings(ts07, read);
    FUZZ_CHECK(read.mode >= 0 && read.mode <= 4);
    // Typed-line values stop at ":", "=" and the line end.
    for (const std::string* text :
         {&read.httpHost, &read.httpPort, &read.httpsHost, &read.httpsPort})
        FUZZ_CHECK(text->find_first_of(":=\r\n") == std::string::npos);
    if (!read.httpHost.empty()) FUZZ_CHECK(!read.httpPort.empty());

    const ProxyChoice choice = ChooseProxy(ts07);
    FUZZ_CHECK(choice.mode >= 0 && choice.mode <= 4);
    FUZZ_CHECK(choice.address.size() <= 255);
    switch (choice.mode) {
        case 0:
        case 4:  // no script address: nothing to ask
            FUZZ_CHECK(choice.address.empty());
            break;
        case 1:
            FUZZ_CHECK(read.mode == 1);
            FUZZ_CHECK(enable && Atoi32(*enable) != 0);
            FUZZ_CHECK(!choice.address.empty() && choice.address[0] != ':');
            break;
        case 2:
        case 3:
            FUZZ_CHECK(read.mode == choice.mode);
            FUZZ_CHECK(choice.address.find(':') != std::string::npos ||
                       choice.address.size() == 255);
            FUZZ_CHECK(choice.address.find_first_of("=\r\n") == std::string::npos);
            if (choice.mode == 2) FUZZ_CHECK(choice.address[0] != ':');
            break;
    }
    if (read.mode == 1 && (!enable || Atoi32(*enable) == 0)) FUZZ_CHECK(choice.mode == 0);
    if (read.mode == 0 || read.mode == 4) FUZZ_CHECK(choice.mode == read.mode);
    return 0;
}
