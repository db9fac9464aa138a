#include "engine/Engine.h"
#include "filelist/EditList.h"
#include "filelist/FolderWalk.h"
#include "tests/support/ScriptedWindowServices.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

using namespace vn;
using test::ScriptedWindowServices;
using test::TempDir;

namespace {

struct NoBlankLine : LineOptionView {
    bool leaveBlankLine() const override { return false; }
};

// Does the removal run, ignoring case, find `needle` in a file whose one line is `line`?
bool engineFinds(const QString& needle, const QString& line) {
    TempDir d;
    const QString in = d.write("in.txt", (line + "\n").toUtf8());
    ScriptedWindowServices ws;
    NoBlankLine option1;
    engine::Host host{ws, option1};
    const engine::FileResult r =
        engine::RemoveContaining(host, in, needle, d.path("out.txt"), true);
    EXPECT_TRUE(r.read) << line.toStdString();
    return r.linesRemoved == 1;
}

// Does remove-by-text take the entry `path` out of the file list?
bool listFinds(const QString& needle, const QString& path) {
    ScriptedWindowServices ws;
    filelist::MemoryFileList list({path, "/tmp/other.txt"});
    filelist::RemoveEntriesContaining(ws, list, needle);
    return list.count() == 1;
}

}  // namespace

// The removal run, remove-by-text and the folder walker's name match ignore case by one rule, so
// a text that finds a file's name in one of them finds it in the others. The rows are the places
// where Unicode's case rules part: U+0130 whose full lower-case form is two code points, the
// Kelvin sign that lowers to ASCII, a dotless i, and a final sigma that only case folding joins
// to the other sigma.
TEST(CaseRule, OneRuleForTheRunTheListAndTheWalker) {
    struct Row {
        QString needle;
        QString name;
        bool found;
    };
    const std::vector<Row> rows = {
        {"ix", QStringLiteral("İx.txt"), true},
        {"IX", QStringLiteral("İx.txt"), true},
        {"ix", QStringLiteral("ıx.txt"), false},
        {"k", QStringLiteral("\u212A.txt"), true},
        {QStringLiteral("σ"), QStringLiteral("ς.txt"), false},
        {QStringLiteral("Σ"), QStringLiteral("σ.txt"), true},
    };
    for (const Row& r : rows) {
        const QString path = "/tmp/" + r.name;
        const std::string what = r.needle.toStdString() + " in " + path.toStdString();
        EXPECT_EQ(engineFinds(r.needle, path), r.found) << "run: " << what;
        EXPECT_EQ(listFinds(r.needle, path), r.found) << "list: " << what;
        EXPECT_EQ(matchesWildcard("*" + r.needle + "*", r.name), r.found) << "walker: " << what;
    }
}

// The walker's listing of a real folder takes the same rule as its pattern test.
TEST(CaseRule, FolderListingMatchesByTheSameRule) {
    TempDir d;
    d.write(QStringLiteral("İx.txt"), "x");
    d.write(QStringLiteral("ıx.txt"), "x");
    EXPECT_EQ(GetFilesInFolder(d.path(), "*ix*"), QStringList{QStringLiteral("İx.txt")});
}
