#pragma once
// The screens as Qt dialogs: each made, shown modally once and destroyed.

#include "app/ScreenFactory.h"

namespace App {

class QtScreenFactory : public ScreenFactory {
  public:
    int Welcome(Data::DownloadList& check) override;
    int NoNetwork(Data::DownloadList& check) override;
    int UpdatesAvailable(const EntryList& updates, const EntryList& current) override;
    int AllUpdsAvail(const EntryList& updates) override;
    int NoUpdatesAvail(const EntryList& entries) override;
    int Progress(int edition, const EntryList& updates, const std::string& prom,
                 const std::string& camp) override;
    int Finished(const EntryList& updates) override;
};

}  // namespace App
