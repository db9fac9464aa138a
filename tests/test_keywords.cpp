#include "keywords/KeywordList.h"

#include <gtest/gtest.h>

#include <QAbstractItemModelTester>

using namespace vn;

namespace {

const QString S = QStringLiteral("||MySeparator12||");

TEST(KeywordStoredForm, EachKeywordIsFollowedByTheSeparator) {
    EXPECT_EQ(S.size(), 17);
    EXPECT_EQ(KeywordsToStoredForm({QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")}),
              QStringLiteral("a||MySeparator12||b||MySeparator12||c||MySeparator12||"));
    EXPECT_EQ(KeywordsToStoredForm({}), QString());
    // Spaces and duplicates are kept as they are.
    EXPECT_EQ(KeywordsToStoredForm({QStringLiteral("  abc "), QStringLiteral("  abc ")}),
              QStringLiteral("  abc ") + S + QStringLiteral("  abc ") + S);
}

TEST(KeywordStoredForm, RestoreKeepsNonEmptyPiecesInOrder) {
    struct Case {
        QString stored;
        QStringList keywords;
    };
    const Case cases[] = {
        {QString(), {}},
        {S, {}},
        {S + S + S, {}},
        {S + QStringLiteral("a") + S + S, {QStringLiteral("a")}},
        {QStringLiteral("a") + S + QStringLiteral("b"), {QStringLiteral("a"), QStringLiteral("b")}},
        // A value without the final separator (written by hand) keeps its last keyword.
        {QStringLiteral("x"), {QStringLiteral("x")}},
        // Only the exact separator splits; other case, other digits and parts of it stay text.
        {QStringLiteral("a||myseparator12||b") + S, {QStringLiteral("a||myseparator12||b")}},
        {QStringLiteral("a||MySeparator1||b|MySeparator12||c") + S,
         {QStringLiteral("a||MySeparator1||b|MySeparator12||c")}},
        {QStringLiteral(" ") + S + QStringLiteral("  x  ") + S,
         {QStringLiteral(" "), QStringLiteral("  x  ")}},
        // A keyword that held the separator comes back as the pieces around it.
        {QStringLiteral("one") + S + QStringLiteral("two") + S,
         {QStringLiteral("one"), QStringLiteral("two")}},
        {QStringLiteral("|") + S + QStringLiteral("|"), {QStringLiteral("|"), QStringLiteral("|")}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(KeywordsFromStoredForm(c.stored), c.keywords) << c.stored.toStdString();
}

TEST(KeywordStoredForm, RoundTripsEveryKeywordWithoutTheSeparator) {
    const QStringList keywords = {QStringLiteral("abc"),
                                  QStringLiteral("  abc "),
                                  QStringLiteral("abc"),
                                  QStringLiteral("Ünï ✓"),
                                  QStringLiteral("|"),
                                  QStringLiteral("\t"),
                                  QStringLiteral("|MySeparator12||"),
                                  QStringLiteral("x,y=z")};
    EXPECT_EQ(KeywordsFromStoredForm(KeywordsToStoredForm(keywords)), keywords);
    QStringList many;
    for (int i = 0; i < 40000; ++i) many.append(QString::number(i));
    EXPECT_EQ(KeywordsFromStoredForm(KeywordsToStoredForm(many)), many) << "no 32,767 cap";
}

TEST(KeywordAnswer, OnlySpacesCountAsBlank) {
    EXPECT_TRUE(IsBlankKeyword(QString()));
    EXPECT_TRUE(IsBlankKeyword(QStringLiteral("    ")));
    EXPECT_FALSE(IsBlankKeyword(QStringLiteral("  abc ")));
    EXPECT_FALSE(IsBlankKeyword(QStringLiteral("\t")));
    EXPECT_FALSE(IsBlankKeyword(QStringLiteral(" . ")));
}

TEST(KeywordList, IsAWellBehavedModelAndAOneBasedView) {
    KeywordList list;
    QAbstractItemModelTester tester(&list, QAbstractItemModelTester::FailureReportingMode::Warning);
    list.setHeaderData(0, Qt::Horizontal, QStringLiteral("Keyword(s) To Remove"));
    EXPECT_EQ(list.headerData(0, Qt::Horizontal).toString(),
              QStringLiteral("Keyword(s) To Remove"));

    list.append(QStringLiteral("a"));
    list.append(QStringLiteral("b"));
    list.append(QStringLiteral("a"));
    const KeywordListView& view = list;
    ASSERT_EQ(view.count(), 3);
    EXPECT_EQ(view.text(1), QStringLiteral("a"));
    EXPECT_EQ(view.text(3), QStringLiteral("a"));
    EXPECT_EQ(view.text(0), QString());
    EXPECT_EQ(view.text(4), QString());
    EXPECT_EQ(list.data(list.index(1)).toString(), QStringLiteral("b"));

    list.removeAt(1);
    EXPECT_EQ(list.entries(), (QStringList{QStringLiteral("a"), QStringLiteral("a")}));
    list.removeAt(-1);
    list.removeAt(2);
    EXPECT_EQ(list.count(), 2);
    list.clear();
    EXPECT_EQ(list.rowCount(), 0);
}

}  // namespace
