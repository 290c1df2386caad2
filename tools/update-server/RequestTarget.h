#pragma once

#include <string>
#include <vector>

namespace UpdateSrv {

// A request target reduced to the file it names below the root.
struct RequestTarget {
    bool proxyRequest = false;          // absolute form: "http://host:port/path"
    std::string path;                   // "/" followed by the segments joined with "/"
    std::vector<std::string> segments;  // decoded, without empty and "." segments
};

enum class TargetResult { Ok, BadRequest };

// True for an absolute-form target (scheme "http" or "https", any case).
bool IsAbsoluteForm(const std::string& target);

// Splits off the scheme and authority of an absolute-form target, the query and the fragment,
// percent-decodes the path and splits it into segments. Refuses (BadRequest) a target that is
// neither origin form nor absolute form, a malformed or NUL escape, and any ".." segment, so no
// target can name anything above the root.
TargetResult ParseRequestTarget(const std::string& target, RequestTarget& out);

}  // namespace UpdateSrv
