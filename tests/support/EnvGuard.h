#pragma once
// Environment variables set for one test and put back afterwards.

#include <stdlib.h>

#include <map>
#include <optional>
#include <string>

namespace TestSupport {

// Sets environment variables for one test and puts the old values back.
class EnvGuard {
  public:
    void Set(const std::string& name, const char* value) {
        if (!saved_.count(name)) {
            const char* old = getenv(name.c_str());
            saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        if (value)
            setenv(name.c_str(), value, 1);
        else
            unsetenv(name.c_str());
    }
    ~EnvGuard() {
        for (const auto& [name, value] : saved_) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
    }

  private:
    std::map<std::string, std::optional<std::string>> saved_;
};

}  // namespace TestSupport
