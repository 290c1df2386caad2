#include "data/ProductCatalog.h"

#include <cstdio>
#include <cstdlib>

#include "data/Text.h"

namespace Data {

ProductCatalog::ProductCatalog() {
    Add("HLP", "Help Files");
    Add("US", "Federal");
    Add("AL", "Alabama");
    Add("AZ", "Arizona");
    Add("AR", "Arkansas");
    Add("CA", "California");
    Add("CO", "Colorado");
    Add("CT", "Connecticut");
    Add("DE", "Delaware");
    Add("DC", "District of Columbia");
    Add("FL", "Florida");
    Add("GA", "Georgia");
    Add("HI", "Hawaii");
    Add("ID", "Idaho");
    Add("IA", "Iowa");
    Add("IL", "Illinois");
    Add("IN", "Indiana");
    Add("KS", "Kansas");
    Add("KY", "Kentucky");
    Add("LA", "Louisiana");
    Add("MA", "Massachusetts");
    Add("MD", "Maryland");
    Add("ME", "Maine");
    Add("MI", "Michigan");
    Add("MN", "Minnesota");
    Add("MO", "Missouri");
    Add("MS", "Mississippi");
    Add("MT", "Montana");
    Add("NJ", "New Jersey");
    Add("NV", "Nevada");
    Add("NC", "North Carolina");
    Add("ND", "North Dakota");
    Add("NE", "Nebraska");
    Add("NH", "New Hampshire");
    Add("NM", "New Mexico");
    Add("NY", "New York");
    Add("OH", "Ohio");
    Add("OK", "Oklahoma");
    Add("OR", "Oregon");
    Add("PA", "Pennsylvania");
    Add("RI", "Rhode Island");
    Add("SC", "South Carolina");
    Add("TN", "Tennessee");
    Add("UT", "Utah");
    Add("VA", "Virginia");
    Add("VT", "Vermont");
    Add("WI", "Wisconsin");
    Add("WV", "West Virginia");
    Add("INST", "Installer Update");
    Add("ALERT", "Alert");
}

void ProductCatalog::Add(const char* code, const char* name) {
    std::string key = ToLower(code);
    auto [it, inserted] =
        entries_.emplace(key, std::make_unique<ProductInfo>(ProductInfo{code, name}));
    if (!inserted) {
        // A duplicate in the fixed table is a programming error.
        std::fprintf(stderr, "product catalogue: duplicate code %s\n", code);
        std::abort();
    }
    order_.push_back(it->second.get());
}

const ProductInfo* ProductCatalog::FindProduct(const std::string& code) const {
    auto it = entries_.find(ToLower(code));
    return it == entries_.end() ? nullptr : it->second.get();
}

}  // namespace Data
