#include "download/ProxyLogin.h"

#include <curl/curl.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/Autopilot.h"
#include "platform/Platform.h"
#include "platform/Transcript.h"

namespace Transfer {

namespace {

// What this run learned of each proxy ("host:port"): the credentials it took,
// and the secret store's answer, asked for once.
struct Known {
    std::optional<Sys::ProxyCredentials> taken;
    bool lookedUp = false;
    std::optional<Sys::ProxyCredentials> saved;
};

std::mutex& KnownMutex() {
    static std::mutex mutex;
    return mutex;
}
std::map<std::string, Known>& KnownProxies() {
    static std::map<std::string, Known> known;
    return known;
}

std::optional<Sys::ProxyCredentials> SavedCredentials(const std::string& hostPort) {
    {
        std::lock_guard<std::mutex> lock(KnownMutex());
        const Known& known = KnownProxies()[hostPort];
        if (known.lookedUp) return known.saved;
    }
    // Asked outside the lock: the store may take a while (an unlock prompt).
    std::optional<Sys::ProxyCredentials> saved = Sys::Current().LookupProxyCredentials(hostPort);
    std::lock_guard<std::mutex> lock(KnownMutex());
    Known& known = KnownProxies()[hostPort];
    known.lookedUp = true;
    known.saved = saved;
    return saved;
}

}  // namespace

std::vector<std::string> ProxySchemeNames(unsigned long bits) {
    static const std::pair<unsigned long, const char*> kSchemes[] = {
        {CURLAUTH_BASIC, "Basic"},   {CURLAUTH_DIGEST, "Digest"},
        {CURLAUTH_NTLM, "NTLM"},     {CURLAUTH_NEGOTIATE, "Negotiate"},
        {CURLAUTH_BEARER, "Bearer"}, {CURLAUTH_DIGEST_IE, "Digest-IE"},
    };
    std::vector<std::string> names;
    for (const auto& [bit, name] : kSchemes)
        if (bits & bit) names.push_back(name);
    return names;
}

void ForgetProxyLogins() {
    std::lock_guard<std::mutex> lock(KnownMutex());
    KnownProxies().clear();
}

const char* ProxyLogin::SourceName(Source source) {
    switch (source) {
        case Source::Address:
            return "address";
        case Source::Saved:
            return "saved";
        case Source::Typed:
            return "typed";
        case Source::None:
            break;
    }
    return "none";
}

ProxyLogin::ProxyLogin(int32_t proxyMode, const std::string& proxyAddress)
    : endpoint_(Data::SplitProxyAddress(proxyAddress)) {
    uses_ = proxyMode >= 1 && proxyMode <= 4 && !endpoint_.address.empty();
    if (!uses_) return;
    {
        std::lock_guard<std::mutex> lock(KnownMutex());
        auto known = KnownProxies().find(endpoint_.hostPort);
        if (known != KnownProxies().end() && known->second.taken) {
            source_ = Source::Typed;
            user_ = known->second.taken->user;
            password_ = known->second.taken->password;
            return;
        }
    }
    if (endpoint_.hasCredentials) {
        source_ = Source::Address;
        user_ = endpoint_.user;
        password_ = endpoint_.password;
    }
}

bool ProxyLogin::Apply(CURL* handle) const {
    if (!handle) return false;
    // An empty text means a direct connection, and it also clears a proxy
    // that an earlier transfer of this handle set; so do the credentials.
    const bool login = uses_ && source_ != Source::None;
    bool ok =
        curl_easy_setopt(handle, CURLOPT_PROXY, uses_ ? endpoint_.address.c_str() : "") == CURLE_OK;
    ok = curl_easy_setopt(handle, CURLOPT_PROXYAUTH, static_cast<unsigned long>(CURLAUTH_ANY)) ==
             CURLE_OK &&
         ok;
    ok = curl_easy_setopt(handle, CURLOPT_PROXYUSERNAME, login ? user_.c_str() : nullptr) ==
             CURLE_OK &&
         ok;
    ok = curl_easy_setopt(handle, CURLOPT_PROXYPASSWORD, login ? password_.c_str() : nullptr) ==
             CURLE_OK &&
         ok;
    return ok;
}

bool ProxyLogin::AskedForPassword(CURL* handle, int result) const {
    if (!uses_ || !handle || result == CURLE_OK) return false;
    // A plain request's own answer, or the answer to the CONNECT of a tunnel.
    long answer = 0, tunnel = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &answer);
    curl_easy_getinfo(handle, CURLINFO_HTTP_CONNECTCODE, &tunnel);
    if (answer == 407 || tunnel == 407) return true;
    // Some proxies answer a refused password with 401, after their 407 in
    // the same transfer; the update servers themselves never ask for one.
    long offered = 0;
    curl_easy_getinfo(handle, CURLINFO_PROXYAUTH_AVAIL, &offered);
    return answer == 401 && offered != 0 && source_ != Source::None;
}

bool ProxyLogin::RetryAfter(CURL* handle, int result) {
    return AskedForPassword(handle, result) && NextAfterRefusal() && Apply(handle);
}

void ProxyLogin::Settle(CURL* handle, int result) {
    if (!uses_ || !handle) return;
    if (AskedForPassword(handle, result)) {
        ReportFailure(handle);
        return;
    }
    // Any answer through the proxy means it took the credentials.
    long answer = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &answer);
    if (result == CURLE_OK || answer > 0) Accepted();
}

bool ProxyLogin::NextAfterRefusal() {
    if (!uses_) return false;
    if (source_ == Source::Typed) {
        // Refused: no later transfer of this run starts with them.
        std::lock_guard<std::mutex> lock(KnownMutex());
        KnownProxies()[endpoint_.hostPort].taken.reset();
    }
    if (!triedSaved_) {
        triedSaved_ = true;
        std::optional<Sys::ProxyCredentials> saved = SavedCredentials(endpoint_.hostPort);
        const bool same = saved && source_ != Source::None && saved->user == user_ &&
                          saved->password == password_;
        if (saved && !same) {
            source_ = Source::Saved;
            user_ = saved->user;
            password_ = saved->password;
            remember_ = false;
            return true;
        }
    }
    // Unattended runs ask nobody (the platform answers nothing there).
    asked_ = Sys::Autopilot::Current() == nullptr;
    std::optional<Sys::ProxyCredentials> typed =
        Sys::Current().AskProxyCredentials(endpoint_.hostPort, source_ != Source::None, user_);
    if (!typed) return false;
    source_ = Source::Typed;
    user_ = typed->user;
    password_ = typed->password;
    remember_ = typed->remember;
    return true;
}

void ProxyLogin::Accepted() {
    if (!uses_ || source_ == Source::None) return;
    Sys::ProxyCredentials taken{user_, password_, false};
    {
        std::lock_guard<std::mutex> lock(KnownMutex());
        KnownProxies()[endpoint_.hostPort].taken = taken;
    }
    if (source_ == Source::Typed && remember_) {
        remember_ = false;
        Sys::Current().StoreProxyCredentials(endpoint_.hostPort, taken);
        std::lock_guard<std::mutex> lock(KnownMutex());
        Known& known = KnownProxies()[endpoint_.hostPort];
        known.lookedUp = true;
        known.saved = taken;
    }
}

void ProxyLogin::ReportFailure(CURL* handle) const {
    long offered = 0;
    if (handle) curl_easy_getinfo(handle, CURLINFO_PROXYAUTH_AVAIL, &offered);
    const std::string reason = "the proxy " + endpoint_.hostPort + " asks for a password";
    std::string why;
    if (source_ != Source::None)
        why = std::string("it refused the ") + SourceName(source_) + " credentials";
    if (!asked_) {
        if (!why.empty()) why += "; ";
        why += "nobody to ask in an unattended run";
    } else {
        if (!why.empty()) why += "; ";
        why += "the user cancelled";
    }
    // Names the proxy and what happened; never a user name or password.
    Sys::Transcript::Write("proxy-auth", {{"proxy", endpoint_.hostPort},
                                          {"schemes", ProxySchemeNames(offered)},
                                          {"refused", SourceName(source_)},
                                          {"asked", asked_},
                                          {"reason", reason + ": " + why}});
    std::fprintf(stderr, "tessra-swm: %s; %s\n", reason.c_str(), why.c_str());
}

}  // namespace Transfer
