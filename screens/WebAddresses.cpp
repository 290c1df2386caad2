#include "screens/WebAddresses.h"

#include <cctype>

#include "data/ProblemText.h"

namespace Presentation {

namespace {
std::string OnMakerHost(const char* path) { return std::string(Data::kMakerWebHost) + path; }
std::string WithScheme(const std::string& address) { return "http://" + address; }
}  // namespace

std::string MakerWebSite() { return Data::kMakerWebHost; }
std::string UpdateCenterText() { return OnMakerHost("/updates/"); }
std::string AlertsText() { return OnMakerHost("/alerts/"); }
std::string FederalAvailabilityUrl() {
    return WithScheme(OnMakerHost("/updates/federalavailability/"));
}
std::string StateAvailabilityUrl() {
    return WithScheme(OnMakerHost("/updates/stateavailability/"));
}
std::string UpdateCenterUrl() { return WithScheme(UpdateCenterText()); }
std::string AlertsUrl() { return WithScheme(AlertsText()); }

std::string OpenableAddress(const std::string& address) {
    // A scheme is a letter, then letters, digits, '+', '-' or '.', then ':'. A
    // host name followed by ':' and a port number looks the same, so a digit
    // after the ':' means a port, not a scheme.
    const size_t colon = address.find(':');
    bool scheme = colon != std::string::npos && colon > 0 &&
                  std::isalpha(static_cast<unsigned char>(address[0]));
    for (size_t i = 1; scheme && i < colon; ++i) {
        const unsigned char c = static_cast<unsigned char>(address[i]);
        scheme = std::isalnum(c) || c == '+' || c == '-' || c == '.';
    }
    if (scheme && colon + 1 < address.size() &&
        std::isdigit(static_cast<unsigned char>(address[colon + 1])))
        scheme = false;
    return scheme ? address : WithScheme(address);
}

std::optional<std::string> StringTableEntry(int id) {
    switch (id) {
        case 1100:
            return FederalAvailabilityUrl();
        case 1110:
            return StateAvailabilityUrl();
        case 1112:
            return UpdateCenterUrl();
        case 1134:
            return AlertsUrl();
        default:
            return std::nullopt;
    }
}

std::vector<std::string> FirewallAdviceLines() {
    return {
        "If you are connected to the Internet and still receive this ",
        "message, a firewall application may be blocking Tessra's ",
        "access to the Internet.  For assistance in altering your ",
        "firewall application's settings, please contact your ",
        "application's vendor or see the links below for online help for",
        "common firewall applications.",
        "",
        "Microsoft Windows XP Firewall:",
        "support.microsoft.com/kb/875357",
        "",
        "Norton Internet Security and Norton Personal Firewall:",
        "www.symantec.com/techsupp/consumer.html",
        "",
        "McAfee Personal Firewall Plus:",
        "service.mcafee.com/",
        "",
        "BlackICE PC Protection:",
        "www.iss.net/support/",
        "",
        "ZoneAlarm and ZoneAlarm Pro:",
        "www.zonelabs.com/store/content/support/support.jsp?",
        "lid=home_support",
    };
}

}  // namespace Presentation
