// The download list: values and items as a settings file fills them, against a
// plain model of the rules (keys without regard to case, bounded counts).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "data/DownloadList.h"
#include "data/SettingsFile.h"
#include "data/Text.h"

using namespace Data;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    DownloadList list;
    std::map<std::string, std::string> model;  // upper-cased key -> text
    std::vector<std::string> urls;
    // A few keys at most a byte apart, so that case and repetition meet often.
    const int repeat = in.ConsumeIntegralInRange<int>(1, 40);
    while (in.remaining_bytes() > 0) {
        const int op = in.ConsumeIntegralInRange<int>(0, 3);
        if (op == 0) {
            std::string key = in.ConsumeRandomLengthString(12);
            std::string text = in.ConsumeRandomLengthString(40);
            for (int i = 0; i < repeat; ++i) {
                std::string k = i ? key + std::to_string(i) : key;
                list.SetValue(k, text);
                const std::string upper = ToUpper(k);
                if (model.count(upper) || model.size() < DownloadList::kMaxValues)
                    model[upper] = text;
            }
        } else if (op == 1) {
            std::string key = in.ConsumeRandomLengthString(12);
            auto it = model.find(ToUpper(key));
            FUZZ_CHECK(list.HasValue(key) == (it != model.end()));
            FUZZ_CHECK(list.GetValue(key) == (it == model.end() ? std::string() : it->second));
            FUZZ_CHECK(list.GetValue(ToLower(key)) == list.GetValue(ToUpper(key)));
        } else if (op == 2) {
            DownloadItem item;
            item.url = in.ConsumeRandomLengthString(30);
            item.installedVersion = in.ConsumeIntegral<int32_t>();
            const int copies = in.ConsumeIntegralInRange<int>(1, 5000);
            for (int i = 0; i < copies; ++i) {
                list.AppendItem(item);
                if (urls.size() < static_cast<size_t>(DownloadList::kMaxItems))
                    urls.push_back(item.url);
            }
        } else {
            const int32_t edition = GetEditionCode(list);
            FUZZ_CHECK(edition >= 1 && edition <= 7);
            // Known words in any case give their code; others give 7.
            const std::string word = ToLower(list.GetValue("edition"));
            if (word == "premium") FUZZ_CHECK(edition == 4);
            if (word == "basic") FUZZ_CHECK(edition == 6);
            if (!list.HasValue("edition")) FUZZ_CHECK(edition == 7);
        }
    }
    FUZZ_CHECK(list.Values() == model);
    // Items keep their order; the 16-bit count is never exceeded.
    FUZZ_CHECK(list.Count() == static_cast<int>(urls.size()));
    FUZZ_CHECK(list.Count() <= DownloadList::kMaxItems);
    for (int i = 0; i < list.Count(); i += 97) FUZZ_CHECK(list.Item(i).url == urls[i]);
    // The catalogue comes whole with every list.
    FUZZ_CHECK(list.Catalog().FindProduct("alert") != nullptr);
    return 0;
}
