#pragma once
// The application object: the whole run happens in InitInstance.

#include "app/Flows.h"
#include "app/ScreenFactory.h"

class DLMgrApp {
  public:
    DLMgrApp() = default;
    virtual ~DLMgrApp() = default;
    DLMgrApp(const DLMgrApp&) = delete;
    DLMgrApp& operator=(const DLMgrApp&) = delete;

    // Where the flows get their screens (not owned); must be set before InitInstance.
    void SetScreenFactory(App::ScreenFactory* screens) { screens_ = screens; }
    // The update check the flows run (tests answer it without a server).
    void SetUpdateCheck(App::Flows::UpdateCheck check) { check_ = std::move(check); }

    // Settles the run mode from the argument text and runs its flow. Always
    // false: nothing follows the run.
    virtual bool InitInstance();

    bool HoldsSingleInstance() const { return m_hMutex; }

  private:
    bool m_hMutex = false;  // the single-instance lock is held
    App::ScreenFactory* screens_ = nullptr;
    App::Flows::UpdateCheck check_ = App::Flows::RunUpdateCheck;
};

// The one application object of the program.
extern DLMgrApp theApp;
