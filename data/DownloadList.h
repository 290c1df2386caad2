#pragma once
// What one transfer run fetches: items, a few named values, and a catalogue.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "data/ProductCatalog.h"

namespace Data {

struct DownloadItem {
    std::string url;
    std::string localPath;
    std::string productCode;  // settings text ("us", "alert") or catalogue code ("US")
    std::string prom;
    std::string camp;
    int32_t expectedSize = 0;  // 0: unknown
    int32_t installedVersion = -1;
    int32_t year = -1;
    // A smaller file fetched first and rebuilt into localPath: a patch against
    // basePath, or (without basePath) the packed installer. Any doubt falls
    // back to the whole installer at url.
    std::string patchUrl;
    std::string basePath;
    int64_t patchSize = 0;
    std::string sha256;  // the rebuilt file's, from the manifest
};

class DownloadList {
  public:
    static constexpr int kMaxItems = 32767;  // 16-bit signed count

    void AppendItem(DownloadItem item);  // ignored beyond kMaxItems
    int Count() const { return static_cast<int>(items_.size()); }
    const DownloadItem& Item(int index) const { return items_.at(static_cast<size_t>(index)); }

    // A settings file names a handful of values; a file of countless distinct
    // keys must not grow the list without bound, so new keys beyond this are dropped.
    static constexpr size_t kMaxValues = 1024;
    void SetValue(const std::string& key, const std::string& text);  // key upper-cased
    std::string GetValue(const std::string& key) const;              // empty when missing
    bool HasValue(const std::string& key) const;
    const std::map<std::string, std::string>& Values() const { return values_; }

    const ProductCatalog& Catalog() const { return catalog_; }

  private:
    std::vector<DownloadItem> items_;
    std::map<std::string, std::string> values_;
    ProductCatalog catalog_;
};

}  // namespace Data
