// The proxy-script child: a script that grabs memory loses its answer.

#include <gtest/gtest.h>

#include <vector>

#include "platform/DeadlineChild.h"

TEST(DeadlineChild, AnswersWithinItsMemoryBoundAndNoneBeyondIt) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "sanitizer builds leave the child's address space unbounded";
#endif
    for (size_t mib : {0, 64, 2048}) {
        auto work = [mib] {
            std::vector<char> touched(mib << 20, 1);
            return std::optional<std::string>("PROXY p:" + std::to_string(touched.size()));
        };
        auto answer = Sys::AnswerFromChild(work, std::chrono::seconds(20), 100);
        EXPECT_EQ(answer, mib < 2048 ? work() : std::nullopt) << mib << " MiB";
    }
}
