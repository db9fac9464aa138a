#include "app/shell/ApplicationTitle.h"
#include "app/shell/Settings.h"
#include "platform/Failure.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QSettings>

using namespace vn;
using test::TempDir;

namespace {

// Points the store at a private configuration folder for the length of one test.
class SettingsStore : public ::testing::Test {
protected:
    void SetUp() override {
        m_saved = qgetenv("XDG_CONFIG_HOME");
        m_hadValue = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
        useConfigFolder(config.path());
    }
    void TearDown() override {
        setSettingsWriteFailureHandler(nullptr);
        if (m_hadValue)
            qputenv("XDG_CONFIG_HOME", m_saved);
        else
            qunsetenv("XDG_CONFIG_HOME");
    }
    static void useConfigFolder(const QString& folder) {
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(folder));
    }

    TempDir config;

private:
    QByteArray m_saved;
    bool m_hadValue = false;
};

TEST_F(SettingsStore, AbsentKeysGiveTheDefaultAndStoredEmptyStaysEmpty) {
    EXPECT_EQ(ReadSetting(QStringLiteral("Combo1"), QStringLiteral("0")), QStringLiteral("0"));
    EXPECT_TRUE(ReadSetting(QStringLiteral("LastFolder")).isNull());

    WriteSetting(QStringLiteral("Output Folder"), QString());
    EXPECT_EQ(ReadSetting(QStringLiteral("Output Folder"), QStringLiteral("/home/u/Desktop/")),
              QString());
    EXPECT_EQ(settingsFilePath(), config.path(QStringLiteral("Quorvane/Varnobis.ini")));
    const QByteArray ini = TempDir::read(settingsFilePath());
    EXPECT_TRUE(ini.startsWith("[Varnobis]")) << ini.constData();
}

TEST_F(SettingsStore, ValuesComeBackExactlyAsWritten) {
    const QStringList values = {
        QStringLiteral("1,2,5"),
        QStringLiteral("  two leading, one trailing "),
        QStringLiteral("\"quoted\""),
        QStringLiteral("C:\\out\\"),
        QStringLiteral("@at the start"),
        QStringLiteral("semi;colon #hash =equals"),
        QStringLiteral("line\nbreak\r\n"),
        QStringLiteral("Ünïcödé ✓ 漢字"),
        QStringLiteral("a||MySeparator12||b||MySeparator12||"),
        QStringLiteral("True"),
        QStringLiteral("%20 and \\x41"),
    };
    for (const QString& v : values) {
        WriteSetting(QStringLiteral("Keywords"), v);
        EXPECT_EQ(ReadSetting(QStringLiteral("Keywords")), v) << v.toStdString();
    }
    // Keys with spaces are kept apart from their neighbours.
    WriteSetting(QStringLiteral("Output Folder"), QStringLiteral("/a/"));
    WriteSetting(QStringLiteral("Output"), QStringLiteral("/b/"));
    EXPECT_EQ(ReadSetting(QStringLiteral("Output Folder")), QStringLiteral("/a/"));
}

TEST_F(SettingsStore, FollowsTheConfigurationFolderAndOtherWriters) {
    WriteSetting(QStringLiteral("Combo1"), QStringLiteral("3"));
    TempDir other;
    useConfigFolder(other.path());
    EXPECT_EQ(ReadSetting(QStringLiteral("Combo1"), QStringLiteral("0")), QStringLiteral("0"));
    useConfigFolder(config.path());
    EXPECT_EQ(ReadSetting(QStringLiteral("Combo1")), QStringLiteral("3"));

    // A second running copy writes the same file; the next read sees its value.
    {
        QSettings copy(settingsFilePath(), QSettings::IniFormat);
        copy.setValue(QStringLiteral("Varnobis/Combo1"), QStringLiteral("4"));
    }
    EXPECT_EQ(ReadSetting(QStringLiteral("Combo1")), QStringLiteral("4"));
}

TEST_F(SettingsStore, ARefusedWriteIsReportedOncePerRunWithPathAndReason) {
    // A plain file where the store's folder should be: no folder can be made below it, even by
    // root.
    const QString blocker = config.write(QStringLiteral("not-a-folder"), "x");
    useConfigFolder(blocker);
    QStringList reports;
    setSettingsWriteFailureHandler([&](const QString& d) { reports.append(d); });

    WriteSetting(QStringLiteral("Check1"), QStringLiteral("1"));
    WriteSetting(QStringLiteral("Output Folder"), QStringLiteral("/x/"));
    ASSERT_EQ(reports.size(), 1);
    EXPECT_TRUE(reports[0].contains(QDir::toNativeSeparators(settingsFilePath())))
        << reports[0].toStdString();
    EXPECT_TRUE(reports[0].contains(QStringLiteral("Not a directory"))) << reports[0].toStdString();

    // A store that works again takes the next write; a new handler is told afresh.
    useConfigFolder(config.path());
    WriteSetting(QStringLiteral("Check1"), QStringLiteral("0"));
    EXPECT_EQ(ReadSetting(QStringLiteral("Check1")), QStringLiteral("0"));
    useConfigFolder(blocker);
    setSettingsWriteFailureHandler([&](const QString& d) { reports.append(d); });
    WriteSetting(QStringLiteral("Check1"), QStringLiteral("1"));
    EXPECT_EQ(reports.size(), 2);
}

TEST(SettingConversions, Booleans) {
    const std::pair<const char*, bool> good[] = {
        {"True", true}, {"true", true}, {"TRUE", true}, {" False ", false}, {"fALSE", false},
        {"1", true},    {"0", false},   {"-1", true},   {"0.0", false},     {"2.5", true},
        {"  7 ", true}, {"-0", false},  {"1e3", true},
    };
    for (const auto& [text, value] : good)
        EXPECT_EQ(SettingToBoolean(QString::fromUtf8(text)), value) << text;
    for (const char* bad : {"", " ", "yes", "abc", "1,5", "nan", "inf", "Tru e", "True1"})
        EXPECT_THROW(SettingToBoolean(QString::fromUtf8(bad)), Failure) << bad;
}

TEST(SettingConversions, Integers) {
    const std::pair<const char*, int> good[] = {
        {"0", 0},
        {"5", 5},
        {" 3 ", 3},
        {"-1", -1},
        {"+4", 4},
        {"007", 7},
        {"2147483647", INT32_MAX},
    };
    for (const auto& [text, value] : good)
        EXPECT_EQ(SettingToInteger(QString::fromUtf8(text)), value) << text;
    for (const char* bad : {"", "abc", "3.5", "1,000", "0x10", "2147483648", "99999999999", "1 2"})
        EXPECT_THROW(SettingToInteger(QString::fromUtf8(bad)), Failure) << bad;
    try {
        SettingToInteger(QStringLiteral("abc"));
    } catch (const Failure& f) {
        EXPECT_TRUE(f.description().contains(QStringLiteral("\"abc\"")));
    }
}

TEST(ApplicationTitle, DropsTheLastWordThenShortensToForty) {
    const QString title44 = QStringLiteral("Quorvane Batch Line Removal Utility Varnobis");
    ASSERT_EQ(title44.size(), 44);
    EXPECT_EQ(ApplicationTitle(title44), QStringLiteral("Quorvane Batch Line Removal Utility"));
    EXPECT_EQ(ApplicationTitle(title44).size(), 35);

    // The first word goes even from a short title; later ones only while over 40 characters.
    EXPECT_EQ(ApplicationTitle(QStringLiteral("Line Remover 2")), QStringLiteral("Line Remover"));
    const QString long60 =
        QStringLiteral("Alpha Beta Gamma Delta Epsilon Zeta Eta Theta Iota Kappa Lambda");
    const QString shortened = ApplicationTitle(long60);
    EXPECT_EQ(shortened, QStringLiteral("Alpha Beta Gamma Delta Epsilon Zeta Eta"));
    EXPECT_LE(shortened.size(), 40);

    // Nothing to cut at: the title stays whole, and an over-long last word ends the shortening.
    EXPECT_EQ(ApplicationTitle(QStringLiteral("Varnobis")), QStringLiteral("Varnobis"));
    const QString word45(45, QLatin1Char('w'));
    EXPECT_EQ(ApplicationTitle(word45 + QStringLiteral(" tail")), word45);
}

}  // namespace
