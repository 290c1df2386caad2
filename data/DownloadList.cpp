#include "data/DownloadList.h"

#include "data/Text.h"

namespace Data {

void DownloadList::AppendItem(DownloadItem item) {
    // The count is a 16-bit signed number in the list's users.
    if (items_.size() >= static_cast<size_t>(kMaxItems)) return;
    items_.push_back(std::move(item));
}

void DownloadList::SetValue(const std::string& key, const std::string& text) {
    std::string upper = ToUpper(key);
    auto it = values_.find(upper);
    if (it != values_.end())
        it->second = text;
    else if (values_.size() < kMaxValues)
        values_.emplace(std::move(upper), text);
}

std::string DownloadList::GetValue(const std::string& key) const {
    auto it = values_.find(ToUpper(key));
    return it == values_.end() ? std::string() : it->second;
}

bool DownloadList::HasValue(const std::string& key) const {
    return values_.count(ToUpper(key)) != 0;
}

}  // namespace Data
