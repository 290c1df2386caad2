#pragma once
// The fixed table of product codes and display names.

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace Data {

struct ProductInfo {
    std::string code;  // canonical, upper case: "US", "NY", "HLP"
    std::string name;  // display name: "Federal", "New York", "Help Files"
};

class ProductCatalog {
  public:
    ProductCatalog();  // builds all 50 entries
    // Lower-cases the code and looks it up; nullptr when unknown. Owned by the catalogue.
    const ProductInfo* FindProduct(const std::string& code) const;
    size_t Size() const { return entries_.size(); }
    // Entries in build order (for tools and tests).
    const ProductInfo& At(size_t index) const { return *order_.at(index); }

  private:
    void Add(const char* code, const char* name);
    std::map<std::string, std::unique_ptr<ProductInfo>> entries_;
    std::vector<const ProductInfo*> order_;
};

}  // namespace Data
