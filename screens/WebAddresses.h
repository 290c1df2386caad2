#pragma once
// Every web address the screens show or open, built from the maker's web host
// in one place.

#include <optional>
#include <string>
#include <vector>

namespace Presentation {

// The maker's web site as the screen texts name it.
std::string MakerWebSite();
// Full addresses (with scheme) of the maker's pages.
std::string FederalAvailabilityUrl();
std::string StateAvailabilityUrl();
std::string UpdateCenterUrl();
std::string AlertsUrl();
// The same pages as the screens show them: without a scheme.
std::string UpdateCenterText();
std::string AlertsText();

// An address as the browser is handed it: one without a scheme
// ("www.tessra.example/updates/") is a web page, opened as "http://" + address.
std::string OpenableAddress(const std::string& address);

// The string table: link targets by control id (1100, 1110, 1112, 1134).
std::optional<std::string> StringTableEntry(int id);

// The firewall advice list of the connection-issues screen, line by line.
std::vector<std::string> FirewallAdviceLines();

}  // namespace Presentation
