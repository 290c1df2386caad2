#pragma once
// Texts and titles of the problem messages shown for failed transfers.

#include <string>

namespace Data {

struct ProblemMessage {
    std::string title;
    std::string text;
};

// The maker's web host, in one place.
inline constexpr const char* kMakerWebHost = "www.tessra.example";

ProblemMessage ProblemFor(int code);

}  // namespace Data
