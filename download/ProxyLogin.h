#pragma once
// Logging in to a proxy that asks for a password (407). The credentials come,
// in this order, from the proxy's address itself, from the desktop's secret
// store (where the user saved them before), and else from the user, asked in
// the program's own frame; never in an unattended run. Whatever libcurl
// negotiates with the proxy (Basic, Digest, ...) is accepted, and the
// credentials never travel inside the proxy's address.

#include <cstdint>
#include <string>
#include <vector>

#include "data/Proxy.h"

typedef void CURL;

namespace Transfer {

class ProxyLogin {
  public:
    // For a transfer through the choice's proxy (mode 0, or no address: none).
    // Credentials a proxy took earlier in this run come first, then those in
    // the address; the secret store is asked only once a proxy refuses.
    ProxyLogin(int32_t proxyMode, const std::string& proxyAddress);

    bool UsesProxy() const { return uses_; }
    const std::string& HostPort() const { return endpoint_.hostPort; }

    // Sets the handle's proxy, its credentials (or none) and lets libcurl
    // answer any scheme the proxy offers; false when libcurl refused an option.
    bool Apply(CURL* handle) const;
    // True when the transfer (libcurl's `result`) ended on the proxy's 407.
    bool AskedForPassword(CURL* handle, int result) const;
    // After a transfer that ended on a 407: true when the next credentials
    // (saved ones not yet tried, else what the user types) are set on the
    // handle for the same transfer again; false when there are none.
    bool RetryAfter(CURL* handle, int result);
    // The transfer is over: credentials the proxy took serve the rest of the
    // run (and typed ones go into the secret store when the user asked to
    // remember them); a 407 that ended it is reported ("proxy-auth" event in
    // the transcript and the support log, a line on stderr).
    void Settle(CURL* handle, int result);

  private:
    enum class Source { None, Address, Saved, Typed };
    static const char* SourceName(Source source);
    bool NextAfterRefusal();
    void Accepted();
    void ReportFailure(CURL* handle) const;

    bool uses_ = false;
    Data::ProxyEndpoint endpoint_;
    Source source_ = Source::None;
    std::string user_;
    std::string password_;
    bool remember_ = false;
    bool triedSaved_ = false;
    bool asked_ = false;
};

// The scheme names of libcurl's CURLAUTH_* bits, e.g. {"Basic", "Digest"}.
std::vector<std::string> ProxySchemeNames(unsigned long bits);

// Forgets the credentials proxies took during this run (for tests).
void ForgetProxyLogins();

}  // namespace Transfer
