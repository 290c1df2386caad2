#include "data/Proxy.h"

#include <curl/curl.h>
#include <pacparser.h>

#include <cstdarg>

#include "data/KeyValueLine.h"
#include "data/ProgramSettings.h"
#include "data/Text.h"
#include "platform/CommandLine.h"
#include "platform/DeadlineChild.h"
#include "platform/Platform.h"

namespace Data {

namespace {

constexpr size_t npos = std::string_view::npos;
constexpr const char* kInternetSettings =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\";
constexpr size_t kProxyServerChars = 1023;   // 1024-byte buffer with its terminator
constexpr size_t kAutoConfigUrlChars = 253;  // 254-byte buffer with its terminator
constexpr size_t kProxyAddressChars = 255;   // 256-character buffer of the transfer
constexpr size_t kMaxScriptBytes = 1 << 20;
constexpr size_t kMaxScriptAnswer = 64 * 1024;
constexpr const char* kAutoProxyAgent = "WinHTTP AutoProxy Sample/1.0";

std::optional<std::string> InternetSetting(const char* name, size_t maxChars) {
    std::optional<std::string> value =
        Sys::Current().RegistryValue(std::string(kInternetSettings) + name);
    // A value that does not fit its buffer counts as absent.
    if (value && value->size() > maxChars) return std::nullopt;
    return value;
}

// "host:port" -> host and port at the first ":"; without ":" the port stays.
void SplitHostPort(std::string_view part, std::string& host, std::string& port) {
    size_t colon = part.find(':');
    if (colon == npos) {
        host = std::string(part);
        return;
    }
    host = std::string(part.substr(0, colon));
    port = std::string(part.substr(colon + 1));
}

// --- automatic configuration -------------------------------------------------

size_t CollectScript(char* data, size_t size, size_t count, void* target) {
    auto* script = static_cast<std::string*>(target);
    size_t bytes = size * count;
    if (script->size() + bytes > kMaxScriptBytes) return 0;  // not a proxy script
    script->append(data, bytes);
    return bytes;
}

std::optional<std::string> FetchScript(const std::string& url) {
    CURL* curl = curl_easy_init();
    if (!curl) return std::nullopt;
    std::string script;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROXY, "");  // the script itself is fetched directly
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 10L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 30L);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, kAutoProxyAgent);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, CollectScript);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &script);
    CURLcode result = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    if (result != CURLE_OK) return std::nullopt;
    return script;
}

// Host part of an address, as FindProxyForURL receives it.
std::string HostOf(std::string_view url) {
    size_t scheme = url.find("://");
    std::string_view rest = scheme == npos ? url : url.substr(scheme + 3);
    rest = rest.substr(0, rest.find_first_of("/?#"));
    size_t at = rest.rfind('@');
    if (at != npos) rest = rest.substr(at + 1);
    if (rest.starts_with('[')) {
        size_t close = rest.find(']');
        return std::string(rest.substr(1, close == npos ? npos : close - 1));
    }
    return std::string(rest.substr(0, rest.find(':')));
}

int SilentPacErrors(const char*, va_list) { return 0; }

// The script engine cannot be interrupted and a hostile script can loop
// forever or crash it: each evaluation runs in a child of its own, with a
// fresh engine and a deadline.
std::optional<std::string> EvaluateScript(const std::string& script, const std::string& url,
                                          std::chrono::milliseconds deadline) {
    return Sys::AnswerFromChild(
        [&]() -> std::optional<std::string> {
            pacparser_set_error_printer(SilentPacErrors);
            if (!pacparser_init() || !pacparser_parse_pac_string(script.c_str()))
                return std::nullopt;
            const char* found = pacparser_find_proxy(url.c_str(), HostOf(url).c_str());
            if (!found) return std::nullopt;
            return std::string(found);
        },
        deadline, kMaxScriptAnswer);
}

// "PROXY a:1; SOCKS b:2; DIRECT" -> "a:1"; nothing without a PROXY entry.
std::optional<std::string> FirstProxy(std::string_view answer) {
    while (!answer.empty()) {
        size_t semicolon = answer.find(';');
        std::string entry = StripBoth(answer.substr(0, semicolon), " \t\r\n");
        answer = semicolon == npos ? std::string_view() : answer.substr(semicolon + 1);
        if (entry.size() > 5 && ToUpper(entry.substr(0, 5)) == "PROXY" &&
            (entry[5] == ' ' || entry[5] == '\t')) {
            std::string address = StripBoth(entry.substr(6), " \t");
            if (!address.empty()) return address;
        }
    }
    return std::nullopt;
}

// Keeps the last `count` characters (all when count reaches the length, none when it
// is not positive).
std::string Right(std::string_view text, long long count) {
    if (count <= 0) return {};
    if (static_cast<size_t>(count) >= text.size()) return std::string(text);
    return std::string(text.substr(text.size() - static_cast<size_t>(count)));
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "%40" -> "@"; a "%" without two hex digits stays as it is.
std::string PercentDecoded(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            const int high = HexDigit(text[i + 1]), low = HexDigit(text[i + 2]);
            if (high >= 0 && low >= 0) {
                out += static_cast<char>(high * 16 + low);
                i += 2;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

}  // namespace

ProxyEndpoint SplitProxyAddress(const std::string& address) {
    ProxyEndpoint endpoint;
    std::string_view rest = address;
    std::string_view scheme;
    if (size_t mark = rest.find("://"); mark != npos) {
        scheme = rest.substr(0, mark + 3);
        rest.remove_prefix(mark + 3);
    }
    // A password may hold an unencoded "@" or "/": the host follows the last "@".
    size_t at = rest.rfind('@');
    if (at != npos) {
        std::string_view login = rest.substr(0, at);
        rest.remove_prefix(at + 1);
        endpoint.hasCredentials = true;
        size_t colon = login.find(':');
        endpoint.user = PercentDecoded(login.substr(0, colon));
        if (colon != npos) endpoint.password = PercentDecoded(login.substr(colon + 1));
    }
    endpoint.address = std::string(scheme) + std::string(rest);
    endpoint.hostPort = std::string(rest.substr(0, rest.find_first_of("/?#")));
    return endpoint;
}

void ReadProxySettings(const std::string& path, ProxySettings& settings) {
    std::optional<LinePieces> pieces = LinePieces::Open(path, kTypedPieceChars);
    if (!pieces) return;
    for (const std::string& piece : *pieces) {
        if (piece.find("ui_prop_proxy_") == std::string::npos) continue;
        std::optional<TypedLine> line = ParseTypedLine(piece, "string");
        if (!line) continue;
        const std::string& name = line->name;
        if (name == "ui_prop_proxy_http_server")
            settings.httpHost = line->value;
        else if (name == "ui_prop_proxy_http_port")
            settings.httpPort = line->value;
        else if (name == "ui_prop_proxy_https_server")
            settings.httpsHost = line->value;
        else if (name == "ui_prop_proxy_https_port")
            settings.httpsPort = line->value;
        else if (name == "ui_prop_proxy_which") {
            if (line->value == "none")
                settings.mode = 0;
            else if (line->value == "system")
                settings.mode = 1;
            else if (line->value == "tessra")
                settings.mode = 2;
            else if (line->value == "signature")
                settings.mode = 3;
            else if (line->value == "pac")
                settings.mode = 4;
        }
    }
    if (!settings.httpHost.empty() && settings.httpPort.empty()) settings.httpPort = "80";
    if (!settings.httpsHost.empty() && settings.httpsPort.empty()) settings.httpsPort = "443";
}

void ReadSystemProxy(ProxySettings& settings) {
    std::optional<std::string> enable = InternetSetting("ProxyEnable", npos);
    if (!enable || Atoi32(*enable) == 0) return;
    const std::string server = InternetSetting("ProxyServer", kProxyServerChars).value_or("");
    settings.httpHost.clear();
    settings.httpPort.clear();
    settings.httpsHost.clear();
    settings.httpsPort.clear();
    if (server.find('=') == std::string::npos) {
        SplitHostPort(server, settings.httpHost, settings.httpPort);
        settings.httpsHost = settings.httpHost;
        settings.httpsPort = settings.httpPort;
        return;
    }
    const size_t p = server.find("http=");
    const size_t q = server.find("https=");
    if (p != npos) {
        // Up to the character before "https=" (the ";" between the parts).
        size_t begin = p + 5;
        std::string_view part;
        if (q == npos || q < p)
            part = std::string_view(server).substr(begin);
        else if (q > begin)
            part = std::string_view(server).substr(begin, q - 1 - begin);
        SplitHostPort(part, settings.httpHost, settings.httpPort);
    }
    if (q != npos) SplitHostPort(server.substr(q + 6), settings.httpsHost, settings.httpsPort);
}

void ReadAutoProxy(std::string& result, std::chrono::milliseconds deadline) {
    std::optional<std::string> scriptUrl = InternetSetting("AutoConfigURL", kAutoConfigUrlChars);
    if (!scriptUrl || scriptUrl->empty()) return;
    std::optional<std::string> script = FetchScript(*scriptUrl);
    if (!script) return;
    std::optional<std::string> answer = EvaluateScript(*script, ProxyLookupUrl(), deadline);
    if (!answer) return;
    if (std::optional<std::string> proxy = FirstProxy(*answer)) result = *proxy;
}

std::string ProxyLookupUrl() {
    std::string k = Sys::Current().CommandLine();
    const size_t h = k.find("http");
    const size_t i = Sys::FindWord(k, "/install");
    const size_t n = Sys::FindWord(k, "/N ");
    long long m = static_cast<long long>(k.size());
    if (h != npos) {
        // The purchase form: the address up to a following "/purchase", without its scheme.
        size_t purchase = Sys::FindWord(k, "/purchase", h);
        if (purchase != npos) k.erase(purchase);
        m = static_cast<long long>(k.size());
        size_t scheme = k.find("://");
        if (scheme != npos) k.erase(0, scheme + 3);
        k = StripStart(k, " ");
        k = StripStart(k, "\"");
        k = StripEnd(k, " ");
        k = StripEnd(k, "\"");
    }
    if (i != npos) {
        size_t blank = k.rfind(' ');
        if (blank != std::string::npos) k.erase(0, blank + 1);
        k = StripBoth(k, " ");
    }
    if (n != npos) {
        k = Right(k, m - static_cast<long long>(n) - 3);
        k = StripBoth(RemoveAll(k, '"'), " ");
    }
    return "http://" + k;
}

const char* ProxySourceName(ProxySource source) {
    switch (source) {
        case ProxySource::ProgramSettings:
            return "ts07.cfg";
        case ProxySource::Registry:
            return "registry";
        case ProxySource::Desktop:
            return "desktop";
        case ProxySource::Script:
            return "pac";
        case ProxySource::None:
            break;
    }
    return "none";
}

ProxyChoice ChooseProxy() { return ChooseProxy(ProgramSettingsPath()); }

ProxyChoice ChooseProxy(const std::string& programSettingsPath,
                        std::chrono::milliseconds lookupDeadline) {
    ProxySettings settings;
    ReadProxySettings(programSettingsPath, settings);
    ProxyChoice choice;
    if (settings.mode == 1) {
        settings.httpHost.clear();
        settings.httpPort.clear();
        // The registry stand-in decides when it names either value; otherwise
        // the desktop's settings do.
        if (InternetSetting("ProxyEnable", npos) || InternetSetting("ProxyServer", npos)) {
            choice.source = ProxySource::Registry;
            ReadSystemProxy(settings);
        } else {
            choice.source = ProxySource::Desktop;
            std::string desktop = Sys::Current().DesktopProxyFor(ProxyLookupUrl(), lookupDeadline);
            if (!desktop.empty()) SplitHostPort(desktop, settings.httpHost, settings.httpPort);
        }
        if (settings.httpHost.empty()) settings.mode = 0;
    } else if (settings.mode == 2) {
        settings.httpHost.clear();
        settings.httpPort.clear();
        ReadProxySettings(programSettingsPath, settings);
        if (settings.httpHost.empty()) settings.mode = 0;
    }
    choice.mode = settings.mode;
    if (settings.mode == 4) {
        choice.source = ProxySource::Script;
        ReadAutoProxy(choice.address, lookupDeadline);
    } else if (settings.mode >= 1 && settings.mode <= 3) {
        if (settings.mode != 1) choice.source = ProxySource::ProgramSettings;
        // "signature" has no emptiness check: without a host the address is ":" alone.
        choice.address = settings.httpHost + ":" + settings.httpPort;
    }
    if (choice.address.size() > kProxyAddressChars) choice.address.resize(kProxyAddressChars);
    return choice;
}

}  // namespace Data
