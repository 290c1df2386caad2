#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace UpdateSrv {

// Command-line settings of the server. Fault options are unset (nullopt / 0) when not given.
struct ServerOptions {
    std::string root;  // canonical absolute path of the served folder
    std::string bind = "127.0.0.1";
    int port = 0;  // 0: ephemeral
    std::string logFile;
    std::uint64_t throttle = 0;  // bytes per second, 0: unlimited
    std::optional<std::uint64_t> stallAfter;
    std::optional<std::uint64_t> dropAfter;
    bool ignoreRange = false;
    std::map<std::string, int> statusOverrides;    // normalized path -> status code
    std::map<std::string, std::string> redirects;  // normalized path -> Location of a 302
};

enum class ParseResult { Run, Help, Version, Error };

// Reads argv (program name first). On Error, `error` says why.
ParseResult ParseOptions(const std::vector<std::string>& args, ServerOptions& options,
                         std::string& error);

std::string UsageText();

}  // namespace UpdateSrv
