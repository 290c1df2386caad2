#include <gtest/gtest.h>

#include <set>

#include "data/DownloadList.h"
#include "data/ProductCatalog.h"

using namespace Data;

TEST(ProductCatalog, HoldsTheFiftyProductsInTableOrder) {
    ProductCatalog catalog;
    ASSERT_EQ(catalog.Size(), 50u);
    EXPECT_EQ(catalog.At(0).code, "HLP");
    EXPECT_EQ(catalog.At(1).code, "US");
    EXPECT_EQ(catalog.At(1).name, "Federal");
    EXPECT_EQ(catalog.At(9).name, "District of Columbia");
    EXPECT_EQ(catalog.At(48).code, "INST");
    EXPECT_EQ(catalog.At(48).name, "Installer Update");
    EXPECT_EQ(catalog.At(49).code, "ALERT");

    std::set<std::string> codes;
    for (size_t i = 0; i < catalog.Size(); ++i) {
        const ProductInfo& info = catalog.At(i);
        codes.insert(info.code);
        // Every entry is found through its own code in any case.
        EXPECT_EQ(catalog.FindProduct(info.code), &info);
    }
    EXPECT_EQ(codes.size(), 50u);
}

TEST(ProductCatalog, LookupIgnoresCaseButNotBlanks) {
    ProductCatalog catalog;
    for (const char* code : {"NY", "ny", "Ny"}) {
        const ProductInfo* info = catalog.FindProduct(code);
        ASSERT_NE(info, nullptr) << code;
        EXPECT_EQ(info->name, "New York");
    }
    for (const char* code : {"ALERT", "alert", "Alert"}) {
        const ProductInfo* info = catalog.FindProduct(code);
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(info->code, "ALERT");
        EXPECT_EQ(info->name, "Alert");
    }
    ASSERT_NE(catalog.FindProduct("hlp"), nullptr);
    EXPECT_EQ(catalog.FindProduct("hlp")->code, "HLP");
    EXPECT_EQ(catalog.FindProduct("hlp")->name, "Help Files");

    EXPECT_EQ(catalog.FindProduct(" ny"), nullptr);
    EXPECT_EQ(catalog.FindProduct("ny\n"), nullptr);
    EXPECT_EQ(catalog.FindProduct(""), nullptr);
    for (const char* missing : {"TX", "AK", "SD", "WA", "WY"})
        EXPECT_EQ(catalog.FindProduct(missing), nullptr) << missing;
}

TEST(DownloadList, ValuesAreKeyedWithoutRegardToCase) {
    DownloadList list;
    EXPECT_EQ(list.GetValue("prom"), "");
    EXPECT_FALSE(list.HasValue("prom"));
    list.SetValue("prom", "first");
    list.SetValue("PROM", "Second");
    EXPECT_EQ(list.Values().size(), 1u);
    EXPECT_EQ(list.GetValue("Prom"), "Second");
    EXPECT_TRUE(list.HasValue("pRoM"));
    EXPECT_EQ(list.Values().begin()->first, "PROM");
}

TEST(DownloadList, ItemsKeepOrderAndStopAtTheSixteenBitLimit) {
    DownloadList list;
    EXPECT_EQ(list.Count(), 0);
    for (int i = 0; i < DownloadList::kMaxItems + 5; ++i) {
        DownloadItem item;
        item.url = "u" + std::to_string(i);
        list.AppendItem(std::move(item));
    }
    EXPECT_EQ(list.Count(), DownloadList::kMaxItems);
    EXPECT_EQ(list.Item(0).url, "u0");
    EXPECT_EQ(list.Item(DownloadList::kMaxItems - 1).url, "u32766");
    // Each list carries its own full catalogue.
    EXPECT_EQ(list.Catalog().Size(), 50u);
}
