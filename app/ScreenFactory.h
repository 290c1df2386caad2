#pragma once
// The flows create screens through this interface, so a flow test can answer
// screens from a script without Qt. Each call shows one screen modally and
// returns its result (1 OK, 2 cancelled, 4 its own check failed).

#include <string>
#include <vector>

#include "data/DownloadList.h"
#include "data/Manifest.h"

namespace App {

using Data::EntryList;

class ScreenFactory {
  public:
    virtual ~ScreenFactory() = default;
    virtual int Welcome(Data::DownloadList& check) = 0;
    virtual int NoNetwork(Data::DownloadList& check) = 0;
    virtual int UpdatesAvailable(const EntryList& updates, const EntryList& current) = 0;
    virtual int AllUpdsAvail(const EntryList& updates) = 0;
    virtual int NoUpdatesAvail(const EntryList& entries) = 0;
    virtual int Progress(int edition, const EntryList& updates, const std::string& prom,
                         const std::string& camp) = 0;
    virtual int Finished(const EntryList& updates) = 0;
};

}  // namespace App
