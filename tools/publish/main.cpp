// tessra-publish: what the people who run the update server need to publish
// signed manifests for the Software Manager.
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "tools/publish/Publish.h"
#include "tools/publish/Release.h"

namespace {

constexpr const char* kUsage =
    "usage: tessra-publish keygen PREFIX\n"
    "       tessra-publish manifest --product CODE --year Y --version V --message TEXT\n"
    "                               [--key PREFIX.key] [--expires-days N]\n"
    "                               [--delta OLD:PATCH]... [--packed PACKED] INSTALLER\n"
    "       tessra-publish release --tree ROOT --product CODE --year Y --version V\n"
    "                              --installer FILE --name NAME [--for INSTALLED,...]\n"
    "                              [--message TEXT] [--key PREFIX.key] [--delta-from OLD]...\n"
    "                              [--packed] [--rollout-hours H] [--dry-run]\n"
    "       tessra-publish rollout --tree ROOT --product CODE (--pause | --resume | --hours H)\n"
    "                              [--year Y] [--key PREFIX.key]\n"
    "       tessra-publish delta OLD NEW PATCH\n"
    "       tessra-publish pack INSTALLER PACKED\n"
    "       tessra-publish sign --key PREFIX.key FILE\n"
    "       tessra-publish verify --pub PREFIX.pub FILE\n"
    "       tessra-publish --help | --version\n";

struct UsageError {
    std::string message;
};

struct Request {
    std::vector<std::string> arguments;
    std::map<std::string, std::string> options;
    std::map<std::string, std::vector<std::string>> lists;  // options that may repeat
};

Request ParseRequest(const std::vector<std::string>& words, size_t plainCount,
                     const std::vector<std::string>& allowed,
                     const std::vector<std::string>& required,
                     const std::vector<std::string>& repeatable = {}) {
    Request request;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word.starts_with("--")) {
            bool known = false;
            bool repeats = false;
            for (const std::string& option : allowed) known = known || option == word;
            for (const std::string& option : repeatable) repeats = repeats || option == word;
            if (!known && !repeats) throw UsageError{"unknown option " + word};
            if (i + 1 >= words.size()) throw UsageError{word + " needs a value"};
            if (repeats) {
                request.lists[word].push_back(words[++i]);
                continue;
            }
            if (request.options.count(word)) throw UsageError{word + " given twice"};
            request.options[word] = words[++i];
        } else {
            request.arguments.push_back(word);
        }
    }
    for (const std::string& option : required)
        if (!request.options.count(option)) throw UsageError{"missing " + option};
    if (request.arguments.size() != plainCount)
        throw UsageError{request.arguments.size() < plainCount ? "missing argument"
                                                               : "unexpected argument"};
    return request;
}

// Removes every FLAG (an option without a value) from the words; true when there was one.
bool TakeFlag(std::vector<std::string>& words, const std::string& flag) {
    const auto end = std::remove(words.begin(), words.end(), flag);
    const bool found = end != words.end();
    words.erase(end, words.end());
    return found;
}

// "100,101" -> {"100", "101"}.
std::vector<std::string> SplitList(const std::string& text) {
    std::vector<std::string> items;
    size_t at = 0;
    for (size_t comma; (comma = text.find(',', at)) != std::string::npos; at = comma + 1)
        items.push_back(text.substr(at, comma - at));
    items.push_back(text.substr(at));
    return items;
}

int Fail(const std::string& reason) {
    std::cerr << "tessra-publish: " << reason << '\n';
    return 1;
}

int Run(const std::string& command, const std::vector<std::string>& words) {
    if (command == "keygen") {
        Request r = ParseRequest(words, 1, {}, {});
        std::string error = Publish::Keygen(r.arguments[0]);
        return error.empty() ? 0 : Fail(error);
    }
    if (command == "manifest") {
        Request r = ParseRequest(words, 1,
                                 {"--product", "--year", "--version", "--message", "--key",
                                  "--expires-days", "--packed"},
                                 {"--product", "--year", "--version", "--message"}, {"--delta"});
        Publish::ManifestFields fields{r.options["--product"],     r.options["--year"],
                                       r.options["--version"],     r.options["--message"],
                                       r.options["--key"],         r.arguments[0],
                                       r.options["--expires-days"]};
        fields.deltas = r.lists["--delta"];
        fields.packed = r.options["--packed"];
        std::string text;
        std::vector<std::string> leftOut;
        std::string error = Publish::MakeManifest(fields, text, &leftOut);
        if (!error.empty()) return Fail(error);
        for (const std::string& line : leftOut) std::cerr << "tessra-publish: " << line << '\n';
        std::fwrite(text.data(), 1, text.size(), stdout);
        return std::fflush(stdout) == 0 ? 0 : Fail("cannot write the manifest");
    }
    if (command == "release") {
        std::vector<std::string> rest = words;
        const bool packed = TakeFlag(rest, "--packed"), dryRun = TakeFlag(rest, "--dry-run");
        Request r =
            ParseRequest(rest, 0,
                         {"--tree", "--product", "--year", "--version", "--installer", "--name",
                          "--for", "--message", "--key", "--rollout-hours"},
                         {"--tree", "--product", "--year", "--version", "--installer", "--name"},
                         {"--delta-from"});
        Publish::ReleaseRequest request{r.options["--tree"],      r.options["--product"],
                                        r.options["--year"],      r.options["--version"],
                                        r.options["--installer"], r.options["--name"]};
        if (r.options.count("--for")) request.installed = SplitList(r.options["--for"]);
        request.message = r.options["--message"];
        request.keyPath = r.options["--key"];
        request.deltaFrom = r.lists["--delta-from"];
        request.packed = packed;
        request.rolloutHours = r.options["--rollout-hours"];
        request.dryRun = dryRun;
        std::string error = Publish::Release(request, std::cout);
        std::cout.flush();
        return error.empty() ? 0 : Fail(error);
    }
    if (command == "rollout") {
        std::vector<std::string> rest = words;
        const bool pause = TakeFlag(rest, "--pause"), resume = TakeFlag(rest, "--resume");
        Request r = ParseRequest(rest, 0, {"--tree", "--product", "--hours", "--year", "--key"},
                                 {"--tree", "--product"});
        if (pause + resume + r.options.count("--hours") != 1)
            throw UsageError{"rollout wants one of --pause, --resume and --hours"};
        Publish::RolloutRequest request{r.options["--tree"], r.options["--product"],
                                        pause    ? Publish::RolloutChange::Pause
                                        : resume ? Publish::RolloutChange::Resume
                                                 : Publish::RolloutChange::Hours};
        request.hours = r.options["--hours"];
        request.year = r.options["--year"];
        request.keyPath = r.options["--key"];
        std::string error = Publish::ChangeRollout(request, std::cout);
        std::cout.flush();
        return error.empty() ? 0 : Fail(error);
    }
    if (command == "delta" || command == "pack") {
        Request r = ParseRequest(words, command == "delta" ? 3 : 2, {}, {});
        const std::vector<std::string>& a = r.arguments;
        std::string summary;
        std::string error = command == "delta" ? Publish::MakeDelta(a[0], a[1], a[2], summary)
                                               : Publish::Pack(a[0], a[1], summary);
        if (!error.empty()) return Fail(error);
        std::fputs(summary.c_str(), stdout);
        return std::fflush(stdout) == 0 ? 0 : Fail("cannot write the sizes");
    }
    if (command == "sign") {
        Request r = ParseRequest(words, 1, {"--key"}, {"--key"});
        std::string error = Publish::SignFile(r.options["--key"], r.arguments[0]);
        return error.empty() ? 0 : Fail(error);
    }
    if (command == "verify") {
        Request r = ParseRequest(words, 1, {"--pub"}, {"--pub"});
        std::string error = Publish::VerifyFile(r.options["--pub"], r.arguments[0]);
        return error.empty() ? 0 : Fail(error);
    }
    throw UsageError{"unknown command " + command};
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> words(argv + 1, argv + argc);
    if (words.size() == 1 && (words[0] == "--help" || words[0] == "-h")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (words.size() == 1 && words[0] == "--version") {
        std::printf("tessra-publish %s\n", SWM_VERSION);
        return 0;
    }
    try {
        if (words.empty()) throw UsageError{"missing command"};
        const std::string command = words[0];
        words.erase(words.begin());
        return Run(command, words);
    } catch (const UsageError& error) {
        std::cerr << "tessra-publish: " << error.message << "\n" << kUsage;
        return 2;
    }
}
