#include "ServerOptions.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <charconv>

#include "RequestTarget.h"

namespace UpdateSrv {

namespace {

bool ParseNumber(const std::string& text, std::uint64_t& value) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

std::string UsageText() {
    return "usage: tessra-update-server --root DIR [--bind ADDR] [--port N] [--log FILE]\n"
           "         [--throttle BYTES_PER_SEC] [--stall-after BYTES] [--drop-after BYTES]\n"
           "         [--ignore-range] [--status PATH=CODE]... [--redirect PATH=LOCATION]...\n"
           "       tessra-update-server --help | --version\n";
}

ParseResult ParseOptions(const std::vector<std::string>& args, ServerOptions& options,
                         std::string& error) {
    std::string root;
    for (size_t i = 1; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> inlineValue;
        if (name.rfind("--", 0) == 0) {
            auto eq = name.find('=');
            if (eq != std::string::npos) {
                inlineValue = name.substr(eq + 1);
                name.erase(eq);
            }
        }
        auto value = [&](std::string& out) {
            if (inlineValue) {
                out = *inlineValue;
                return true;
            }
            if (i + 1 >= args.size()) {
                error = name + " needs a value";
                return false;
            }
            out = args[++i];
            return true;
        };
        auto number = [&](std::uint64_t& out) {
            std::string text;
            if (!value(text)) return false;
            if (!ParseNumber(text, out)) {
                error = name + ": not a number: " + text;
                return false;
            }
            return true;
        };

        if (name == "--help" || name == "-h") return ParseResult::Help;
        if (name == "--version") return ParseResult::Version;
        if (name == "--ignore-range") {
            if (inlineValue) {
                error = "--ignore-range takes no value";
                return ParseResult::Error;
            }
            options.ignoreRange = true;
        } else if (name == "--root") {
            if (!value(root)) return ParseResult::Error;
        } else if (name == "--bind") {
            if (!value(options.bind)) return ParseResult::Error;
        } else if (name == "--log") {
            if (!value(options.logFile)) return ParseResult::Error;
        } else if (name == "--port") {
            std::uint64_t port = 0;
            if (!number(port)) return ParseResult::Error;
            if (port > 65535) {
                error = "--port out of range";
                return ParseResult::Error;
            }
            options.port = static_cast<int>(port);
        } else if (name == "--throttle") {
            if (!number(options.throttle)) return ParseResult::Error;
            if (options.throttle == 0) {
                error = "--throttle must be at least 1 byte per second";
                return ParseResult::Error;
            }
        } else if (name == "--stall-after") {
            std::uint64_t n = 0;
            if (!number(n)) return ParseResult::Error;
            options.stallAfter = n;
        } else if (name == "--drop-after") {
            std::uint64_t n = 0;
            if (!number(n)) return ParseResult::Error;
            options.dropAfter = n;
        } else if (name == "--status") {
            std::string pair;
            if (!value(pair)) return ParseResult::Error;
            auto eq = pair.rfind('=');
            std::uint64_t code = 0;
            if (eq == std::string::npos || !ParseNumber(pair.substr(eq + 1), code) || code < 200 ||
                code > 599) {
                error = "--status wants PATH=CODE with CODE from 200 to 599: " + pair;
                return ParseResult::Error;
            }
            RequestTarget target;
            if (ParseRequestTarget(pair.substr(0, eq), target) != TargetResult::Ok ||
                target.proxyRequest) {
                error = "--status: PATH must be an absolute path below the root: " + pair;
                return ParseResult::Error;
            }
            options.statusOverrides[target.path] = static_cast<int>(code);
        } else if (name == "--redirect") {
            std::string pair;
            if (!value(pair)) return ParseResult::Error;
            auto eq = pair.find('=');
            RequestTarget target;
            if (eq == std::string::npos || eq + 1 == pair.size() ||
                ParseRequestTarget(pair.substr(0, eq), target) != TargetResult::Ok ||
                target.proxyRequest) {
                error = "--redirect wants PATH=LOCATION with PATH below the root: " + pair;
                return ParseResult::Error;
            }
            options.redirects[target.path] = pair.substr(eq + 1);
        } else {
            error = "unknown option: " + args[i];
            return ParseResult::Error;
        }
    }

    if (root.empty()) {
        error = "--root is required";
        return ParseResult::Error;
    }
    char resolved[PATH_MAX];
    struct stat st {};
    if (!realpath(root.c_str(), resolved) || stat(resolved, &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = "--root is not a folder: " + root;
        return ParseResult::Error;
    }
    options.root = resolved;
    return ParseResult::Run;
}

}  // namespace UpdateSrv
