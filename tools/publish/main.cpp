// tessra-publish: what the people who run the update server need to publish
// signed manifests for the Software Manager.
#include <cstdio>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "tools/publish/Publish.h"

namespace {

constexpr const char* kUsage =
    "usage: tessra-publish keygen PREFIX\n"
    "       tessra-publish manifest --product CODE --year Y --version V --message TEXT\n"
    "                               [--key PREFIX.key] [--expires-days N] INSTALLER\n"
    "       tessra-publish sign --key PREFIX.key FILE\n"
    "       tessra-publish verify --pub PREFIX.pub FILE\n"
    "       tessra-publish --help | --version\n";

struct UsageError {
    std::string message;
};

struct Request {
    std::vector<std::string> arguments;
    std::map<std::string, std::string> options;
};

Request ParseRequest(const std::vector<std::string>& words, size_t plainCount,
                     const std::vector<std::string>& allowed,
                     const std::vector<std::string>& required) {
    Request request;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word.starts_with("--")) {
            bool known = false;
            for (const std::string& option : allowed) known = known || option == word;
            if (!known) throw UsageError{"unknown option " + word};
            if (i + 1 >= words.size()) throw UsageError{word + " needs a value"};
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
        Request r = ParseRequest(
            words, 1, {"--product", "--year", "--version", "--message", "--key", "--expires-days"},
            {"--product", "--year", "--version", "--message"});
        Publish::ManifestFields fields{r.options["--product"],     r.options["--year"],
                                       r.options["--version"],     r.options["--message"],
                                       r.options["--key"],         r.arguments[0],
                                       r.options["--expires-days"]};
        std::string text;
        std::string error = Publish::MakeManifest(fields, text);
        if (!error.empty()) return Fail(error);
        std::fwrite(text.data(), 1, text.size(), stdout);
        return std::fflush(stdout) == 0 ? 0 : Fail("cannot write the manifest");
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
