// Raising a failure: the report on standard error comes first, then the
// exception, and the thread's bookkeeping returns to rest when it is caught.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "boundary/failure.hpp"
#include "boundary/report.hpp"
#include "model/vessel.hpp"
#include "stderr_capture.hpp"

namespace veltrum {
namespace {

using testing_support::StderrCapture;

std::string head(const char* location, const char* message) {
    return "\nthread '<unnamed>' (" + std::to_string(::gettid()) + ") panicked at " + location +
           ":\n" + message + "\n";
}

struct CheckCase {
    const char* location;
    const char* message;
    void (*call)();
};

class ModelChecks : public testing::TestWithParam<CheckCase> {};

TEST_P(ModelChecks, ReportHeadCarriesFixedLocationAndMessage) {
    const CheckCase& c = GetParam();
    StderrCapture capture;
    std::string message;
    try {
        c.call();
        ADD_FAILURE() << "no failure";
    } catch (const ModelFailure& failure) {
        EXPECT_EQ(failure_nesting(), 1U);
        failure_caught();
        message.assign(failure.message().data(), failure.message().size());
    }
    EXPECT_EQ(failure_nesting(), 0U);
    EXPECT_EQ(message, c.message);
    EXPECT_TRUE(capture.text().starts_with(head(c.location, c.message)));
}

INSTANTIATE_TEST_SUITE_P(
    All, ModelChecks,
    testing::Values(
        CheckCase{"src\\lib.cpp:12:9", "参数必须大于0", [] { model::construct(0, 1, 1, 1); }},
        CheckCase{"src\\lib.cpp:70:14", "无效的方形系数",
                  [] { model::construct(1.0 / 0.0, 1, 1, 1); }},
        CheckCase{"src\\lib.cpp:78:9", "蒲福风级必须在 0~12", [] {
                      const model::Vessel v = model::construct(1, 1, 1, 1);
                      model::compute(v, 0, 13, 1, 0);
                  }}));

TEST(Failure, ResumedFailureWritesNoReport) {
    StderrCapture capture;
    try {
        resume_failure(Text("from Python"));
    } catch (const ModelFailure& failure) {
        EXPECT_EQ(failure_nesting(), 1U);
        failure_caught();
        EXPECT_EQ(std::string_view(failure.message()), "from Python");
    }
    EXPECT_EQ(capture.text(), "");
}

TEST(Failure, ClosedStandardErrorDropsTheReport) {
    const int saved = ::dup(STDERR_FILENO);
    ::close(STDERR_FILENO);
    EXPECT_THROW(fail("unheard", here()), ModelFailure);
    failure_caught();
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
}

TEST(Failure, BoundarySitesAreProjectRelative) {
    const Site site = here();
    EXPECT_EQ(site.file, "tests/model/failure_test.cpp");
    EXPECT_EQ(site.line, static_cast<std::uint32_t>(__LINE__ - 2));
}

TEST(BacktraceSwitch, ValuesMapToStyles) {
    using report::BacktraceStyle;
    EXPECT_EQ(report::style_for(nullptr), BacktraceStyle::Off);
    EXPECT_EQ(report::style_for("0"), BacktraceStyle::Off);
    EXPECT_EQ(report::style_for("full"), BacktraceStyle::Full);
    EXPECT_EQ(report::style_for("1"), BacktraceStyle::Short);
    EXPECT_EQ(report::style_for(""), BacktraceStyle::Short);
    EXPECT_EQ(report::style_for("yes"), BacktraceStyle::Short);
    EXPECT_EQ(report::style_for("FULL"), BacktraceStyle::Short);
}

}  // namespace
}  // namespace veltrum
