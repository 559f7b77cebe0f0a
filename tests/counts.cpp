#include <cstdio>
#include <gtest/gtest.h>

// Every test program ends with what ran, on success too: a skipped case, named with its reason, is
// not a passing one, and CI reads these lines.
struct counts : testing::EmptyTestEventListener {
    void OnTestEnd(const testing::TestInfo& t) override
    {
        if (const testing::TestResult& r = *t.result(); r.Skipped())
            std::printf("skipped %s.%s: %s\n", t.test_suite_name(), t.name(),
                        r.GetTestPartResult(r.total_part_count() - 1).message());
    }
    void OnTestProgramEnd(const testing::UnitTest& u) override
    {
        std::printf("%d passed, %d failed, %d skipped\n", u.successful_test_count(),
                    u.failed_test_count(), u.skipped_test_count());
    }
};
[[maybe_unused]] static const bool listening =
    (testing::UnitTest::GetInstance()->listeners().Append(new counts), true);
