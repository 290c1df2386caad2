// tessra-swm-inspect: a diagnostic command for support staff. Prints what the
// Software Manager would make of given files, as one JSON object.
#include <charconv>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "data/DownloadList.h"
#include "data/Manifest.h"
#include "data/ProblemText.h"
#include "data/ProgramSettings.h"
#include "data/Proxy.h"
#include "data/Rollout.h"
#include "data/SettingsFile.h"
#include "data/SignedText.h"
#include "data/Text.h"
#include "download/DeltaPlan.h"
#include "download/UpdateAddress.h"
#include "platform/LinuxPlatform.h"

namespace {

using json = nlohmann::ordered_json;

constexpr const char* kUsage =
    "usage: tessra-swm-inspect settings FILE [--command-line TEXT]\n"
    "       tessra-swm-inspect manifest FILE [--settings SETTINGS_FILE]\n"
    "       tessra-swm-inspect delta MANIFEST FOLDER [--settings SETTINGS_FILE] [--file NAME]\n"
    "       tessra-swm-inspect rollout MANIFEST [--now TIME]\n"
    "       tessra-swm-inspect product CODE\n"
    "       tessra-swm-inspect proxy [--command-line TEXT]\n"
    "       tessra-swm-inspect problem N\n"
    "       tessra-swm-inspect mark-updated FILE\n"
    "       tessra-swm-inspect --help | --version\n";

struct UsageError {
    std::string message;
};

// The subcommand's words: its plain arguments and the options it accepts.
struct Request {
    std::vector<std::string> arguments;
    std::map<std::string, std::string> options;
};

Request ParseRequest(const std::vector<std::string>& words, size_t plainCount,
                     const std::vector<std::string>& allowedOptions) {
    Request request;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word.starts_with("--")) {
            bool allowed = false;
            for (const std::string& option : allowedOptions) allowed = allowed || option == word;
            if (!allowed) throw UsageError{"unknown option " + word};
            if (i + 1 >= words.size()) throw UsageError{word + " needs a value"};
            request.options[word] = words[++i];
        } else {
            request.arguments.push_back(word);
        }
    }
    if (request.arguments.size() != plainCount)
        throw UsageError{request.arguments.size() < plainCount ? "missing argument"
                                                               : "unexpected argument"};
    return request;
}

void UseCommandLine(const Request& request) {
    auto it = request.options.find("--command-line");
    Sys::Linux().SetCommandLine(it == request.options.end() ? "" : it->second);
}

json ListJson(const Data::DownloadList& list) {
    json values = json::object();
    for (const auto& [key, text] : list.Values()) values[key] = text;
    json items = json::array();
    for (int i = 0; i < list.Count(); ++i) {
        const Data::DownloadItem& item = list.Item(i);
        items.push_back({{"url", item.url},
                         {"localPath", item.localPath},
                         {"product", item.productCode},
                         {"prom", item.prom},
                         {"camp", item.camp},
                         {"expectedSize", item.expectedSize},
                         {"installedVersion", item.installedVersion},
                         {"year", item.year}});
    }
    return {{"edition", Data::GetEditionCode(list)}, {"values", values}, {"items", items}};
}

json ProductJson(const Data::ProductInfo* product) {
    if (!product) return nullptr;
    return {{"code", product->code}, {"name", product->name}};
}

json Settings(const std::vector<std::string>& words) {
    Request request = ParseRequest(words, 1, {"--command-line"});
    UseCommandLine(request);
    return ListJson(*Data::LoadSettingsFile(request.arguments[0]));
}

// The DELTA lines the program would use, in order.
json DeltasJson(const Data::UpdateEntry& entry) {
    json out = json::array();
    for (const Data::DeltaOffer& offer : entry.deltas)
        out.push_back({{"baseSize", offer.baseSize},
                       {"baseSha256", offer.baseSha256},
                       {"patchSize", offer.patchSize},
                       {"patchName", offer.patchName}});
    return out;
}

json Manifest(const std::vector<std::string>& words) {
    Request request = ParseRequest(words, 1, {"--settings"});
    Sys::Linux().SetCommandLine("");
    auto it = request.options.find("--settings");
    std::unique_ptr<Data::DownloadList> list = it == request.options.end()
                                                   ? std::make_unique<Data::DownloadList>()
                                                   : Data::LoadSettingsFile(it->second);
    std::unique_ptr<Data::UpdateEntry> entry = Data::ReadManifest(request.arguments[0], *list);
    if (!entry) return nullptr;
    // The key is found as the program finds it; no key means signatures are not asked for.
    const Data::PublisherKey key = Data::LoadPublisherKey();
    json signature =
        key.Required()
            ? json(Data::SignatureStatusName(Data::VerifySignedFile(request.arguments[0], key)))
            : json(nullptr);
    // The signed lines' EXPIRES, which counts only under a key, judged at the time now.
    std::optional<std::string> text =
        key.Required() ? Data::ReadBoundedFile(request.arguments[0], Data::kMaxSignedTextBytes)
                       : std::nullopt;
    json expiry = text ? json(Data::ExpiryName(
                             Data::ExpiryOf(Data::SplitSignedText(*text).body, std::time(nullptr))))
                       : json(nullptr);
    return {{"product", ProductJson(entry->product)},
            {"year", entry->year},
            {"edition", entry->edition},
            {"offeredVersion", entry->offeredVersion},
            {"message", entry->message},
            {"size", entry->size},
            {"installedVersion", entry->installedVersion},
            {"sha256", entry->sha256.empty() ? json(nullptr) : json(entry->sha256)},
            {"signature", signature},
            {"expiry", expiry},
            {"deltas", DeltasJson(*entry)},
            {"packed", entry->packed
                           ? json{{"size", entry->packed->size}, {"name", entry->packed->name}}
                           : json(nullptr)}};
}

// Which earlier installer in FOLDER the program would take as the base of a
// patch, and why: update runs' files of the manifest's product and the
// settings' edition, or with --file the one file a purchase would use.
json Delta(const std::vector<std::string>& words) {
    Request request = ParseRequest(words, 2, {"--settings", "--file"});
    Sys::Linux().SetCommandLine("");
    auto settings = request.options.find("--settings");
    std::unique_ptr<Data::DownloadList> list = settings == request.options.end()
                                                   ? std::make_unique<Data::DownloadList>()
                                                   : Data::LoadSettingsFile(settings->second);
    std::unique_ptr<Data::UpdateEntry> entry = Data::ReadManifest(request.arguments[0], *list);
    if (!entry) return nullptr;
    auto file = request.options.find("--file");
    const bool purchase = file != request.options.end();
    const std::string code = entry->product ? entry->product->code : std::string();
    const std::string letter = Transfer::EditionLetter(entry->edition);
    const std::string downloadPath =
        request.arguments[1] + "/" + (purchase ? file->second : code + "0" + letter + "upd.exe");
    const std::vector<std::string> candidates =
        Transfer::BaseCandidates(downloadPath, code, letter, purchase);
    const Transfer::DeltaPick pick = Transfer::PickDelta(*entry, candidates);
    return {{"deltas", DeltasJson(*entry)},
            {"candidates", candidates},
            {"choice", pick.choice < 0 ? json(nullptr) : json(pick.choice)},
            {"base", pick.base.empty() ? json(nullptr) : json(pick.base)},
            {"why", pick.why}};
}

// Whether the manifest's rollout offers its version to this installation now
// (or at --now), by the identity the program itself reads or makes.
json RolloutOf(const std::vector<std::string>& words) {
    Request request = ParseRequest(words, 1, {"--now"});
    Sys::Linux().SetCommandLine("");
    std::time_t now = std::time(nullptr);
    if (auto it = request.options.find("--now"); it != request.options.end()) {
        std::optional<std::time_t> time = Data::ParseUtcTime(it->second);
        if (!time) throw UsageError{"--now wants a UTC time as 2008-04-15T23:59:59Z"};
        now = *time;
    }
    Data::DownloadList list;
    std::unique_ptr<Data::UpdateEntry> entry = Data::ReadManifest(request.arguments[0], list);
    if (!entry) return nullptr;
    const std::string code = entry->product ? Data::ToLower(entry->product->code) : std::string();
    json out = {{"product", code.empty() ? json(nullptr) : json(code)},
                {"now", Data::FormatUtcTime(now)}};
    if (!entry->rollout || code.empty()) {
        out["rollout"] = nullptr;
        out["offered"] = true;
        return out;
    }
    const Data::Rollout& rollout = *entry->rollout;
    const std::optional<std::string> identity = Data::InstallationIdentity();
    const Data::RolloutVerdict verdict = Data::JudgeRollout(rollout, code, identity, now);
    out["rollout"] = {
        {"start", Data::FormatUtcTime(rollout.start)},
        {"hours", rollout.hours},
        {"paused", rollout.paused ? json(Data::FormatUtcTime(*rollout.paused)) : json(nullptr)}};
    out["identity"] = identity.has_value();
    out["p"] = verdict.place;
    out["offeredAt"] = Data::FormatUtcTime(verdict.offeredAt);
    out["offered"] = verdict.offered;
    return out;
}

json Product(const std::vector<std::string>& words) {
    Request request = ParseRequest(words, 1, {});
    Data::ProductCatalog catalog;
    return ProductJson(catalog.FindProduct(request.arguments[0]));
}

json Proxy(const std::vector<std::string>& words) {
    Request request = ParseRequest(words, 0, {"--command-line"});
    UseCommandLine(request);
    Data::ProxyChoice choice = Data::ChooseProxy();
    json address = choice.mode == 0 ? json(nullptr) : json(choice.address);
    return {{"mode", choice.mode},
            {"address", address},
            {"source", Data::ProxySourceName(choice.source)}};
}

json Problem(const std::vector<std::string>& words) {
    Request request = ParseRequest(words, 1, {});
    const std::string& text = request.arguments[0];
    int code = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), code);
    if (error != std::errc() || end != text.data() + text.size())
        throw UsageError{"not a problem number: " + text};
    Data::ProblemMessage message = Data::ProblemFor(code);
    return {{"title", message.title}, {"text", message.text}};
}

json MarkUpdated(const std::vector<std::string>& words) {
    Request request = ParseRequest(words, 1, {});
    return {{"rewritten", Data::MarkProgramUpdated(request.arguments[0])}};
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> words(argv + 1, argv + argc);
    if (!words.empty() && (words[0] == "--help" || words[0] == "-h")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (words.size() == 1 && words[0] == "--version") {
        std::printf("tessra-swm-inspect %s\n", TESSRA_SWM_VERSION);
        return 0;
    }
    try {
        if (words.empty()) throw UsageError{"missing subcommand"};
        const std::string command = words[0];
        words.erase(words.begin());
        json result;
        if (command == "settings")
            result = Settings(words);
        else if (command == "manifest")
            result = Manifest(words);
        else if (command == "delta")
            result = Delta(words);
        else if (command == "rollout")
            result = RolloutOf(words);
        else if (command == "product")
            result = Product(words);
        else if (command == "proxy")
            result = Proxy(words);
        else if (command == "problem")
            result = Problem(words);
        else if (command == "mark-updated")
            result = MarkUpdated(words);
        else
            throw UsageError{"unknown subcommand " + command};
        // Texts from files need not be UTF-8; replace what is not rather than fail.
        std::cout << result.dump(-1, ' ', false, json::error_handler_t::replace) << '\n';
        return 0;
    } catch (const UsageError& error) {
        std::cerr << "tessra-swm-inspect: " << error.message
                  << " (try tessra-swm-inspect --help)\n";
        return 2;
    }
}
