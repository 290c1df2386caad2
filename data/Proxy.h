#pragma once
// The proxy choice made afresh for every transfer.

#include <cstdint>
#include <string>

namespace Data {

struct ProxySettings {
    int32_t mode = 0;  // 0 none, 1 system, 2 tessra, 3 signature, 4 pac
    std::string httpHost;
    std::string httpPort;
    std::string httpsHost;
    std::string httpsPort;
};

struct ProxyChoice {
    int32_t mode = 0;
    std::string address;  // at most 255 characters; unused in mode 0
};

void ReadProxySettings(const std::string& path, ProxySettings& settings);
void ReadSystemProxy(ProxySettings& settings);
// Evaluates the AutoConfigURL script for ProxyLookupUrl(); `result` unchanged on failure.
void ReadAutoProxy(std::string& result);
std::string ProxyLookupUrl();
// The whole choice, from ts07.cfg in the per-user data folder.
ProxyChoice ChooseProxy();
ProxyChoice ChooseProxy(const std::string& programSettingsPath);

}  // namespace Data
