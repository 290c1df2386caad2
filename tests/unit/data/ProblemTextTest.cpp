#include <gtest/gtest.h>

#include "data/ProblemText.h"

using namespace Data;

namespace {
const std::string kHelp = "\n\nFor help troubleshooting download errors, visit our website at \n";
}

TEST(ProblemText, ListedCodesHaveTheStandardTextAndTheUpdateHelpSuffix) {
    for (int code : {1, 2, 3, 5, 6, 7, 18, 22, 28, 33, 47, 52, 56, 63}) {
        ProblemMessage message = ProblemFor(code);
        EXPECT_EQ(message.title, "Problem Detected") << code;
        EXPECT_EQ(message.text,
                  "A problem was encountered while trying to get your download.\n"
                  "Please try again later.\nProblem number (" +
                      std::to_string(code) + ")" + kHelp + "www.tessra.example/update.")
            << code;
    }
}

TEST(ProblemText, WriteFailureHasItsOwnTextAndTheDownloadsSuffix) {
    ProblemMessage message = ProblemFor(23);
    EXPECT_EQ(message.title, "Problem Detected");
    EXPECT_EQ(message.text,
              "A problem was encountered while trying to get your download.\n\n"
              "Problem number (23)" +
                  kHelp + std::string(kMakerWebHost) + "/downloads/");
}

TEST(ProblemText, EveryOtherCodeIsAnUnexpectedError) {
    for (int code :
         {0, 4, 8, 17, 19, 21, 24, 27, 29, 32, 34, 35, 46, 48, 51, 53, 55, 57, 99, -1, 100000}) {
        ProblemMessage message = ProblemFor(code);
        EXPECT_EQ(message.title, "Unexpected error") << code;
        EXPECT_EQ(message.text, "An unexpected error occurred") << code;
    }
}
