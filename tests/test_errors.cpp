#include "core/ErrorLocations.h"
#include "core/ErrorReport.h"
#include "tests/support/ScriptedWindowServices.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

using namespace vn;

TEST(StandardMessage, HasTheExactShape) {
    const QString text = standardErrorMessage(QStringLiteral("File not found"),
                                              QString::fromUtf8(loc::PushButton2_Click), 130);
    EXPECT_EQ(text,
              QStringLiteral("File not found\r\nin Tessamar2021/08/31.Form1.PushButton2_Click "
                             "at line 130\r\rPlease email screenshot of this message to ") +
                  supportAddress());
    EXPECT_TRUE(supportAddress().endsWith(QStringLiteral(".invalid")));
}

TEST(StandardMessage, AllTwentyFourLocationsAreDistinctAndWellFormed) {
    std::set<std::string> seen;
    for (const char* l : loc::all) {
        const std::string s(l);
        EXPECT_TRUE(seen.insert(s).second) << s;
        const bool walker = s.rfind("Brennick", 0) == 0;
        EXPECT_EQ(walker, s == loc::GetSubDirectories2016) << s;
        EXPECT_NE(s.find("2021/08/31."), std::string::npos) << s;
    }
    EXPECT_EQ(seen.size(), 24u);
}

TEST(Guard, ReportsEachFailingStepAndGoesOn) {
    test::ScriptedWindowServices ws;
    Guard g(ws, loc::RemoveN1);
    int value = 1;
    std::vector<int> ran;
    EXPECT_TRUE(g.step(100, [&] { ran.push_back(100); }));
    EXPECT_FALSE(
        g.step(102, [&] { value = []() -> int { throw Failure(QStringLiteral("first")); }(); }));
    EXPECT_EQ(value, 1) << "a failed assignment keeps the previous value";
    EXPECT_FALSE(g.step(104, [] { throw std::runtime_error("second"); }));
    g.step(106, [&] { ran.push_back(106); });
    EXPECT_EQ(ran, (std::vector<int>{100, 106}));
    ASSERT_EQ(ws.errors().size(), 2u);
    EXPECT_TRUE(ws.errors()[0].text.startsWith(QStringLiteral("first\r\nin ") +
                                               QString::fromUtf8(loc::RemoveN1) +
                                               QStringLiteral(" at line 102\r\r")));
    EXPECT_TRUE(ws.errors()[1].text.contains(QStringLiteral("second\r\n")));
    EXPECT_EQ(ws.errors()[1].icon, Icon::Warning);
    EXPECT_EQ(ws.errors()[1].buttons, Buttons::Ok);
}

TEST(Guard, AFailingTestEntersItsBlock) {
    test::ScriptedWindowServices ws;
    Guard g(ws, loc::Form_Load);
    EXPECT_TRUE(g.test(110, []() -> bool { throw Failure(QStringLiteral("bad test")); }));
    EXPECT_FALSE(g.test(112, [] { return false; }));
    EXPECT_TRUE(g.test(114, [] { return true; }));
    ASSERT_EQ(ws.errors().size(), 1u);
    EXPECT_TRUE(ws.errors()[0].text.contains(QStringLiteral("at line 110")));
}

TEST(Guard, AHelperWithoutHandlerIsReportedAtTheCallersLabel) {
    test::ScriptedWindowServices ws;
    auto helper = [] { throw Failure(QStringLiteral("deep")); };
    Guard g(ws, loc::ReadFileToStringLine);
    g.step(100, [&] { helper(); });
    ASSERT_EQ(ws.errors().size(), 1u);
    EXPECT_TRUE(ws.errors()[0].text.contains(
        QStringLiteral("in Tessamar2021/08/31.RFTSFSO.ReadFileToStringLine at line 100")));
}
