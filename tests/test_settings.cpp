#include "core/Failure.h"
#include "gui/ApplicationTitle.h"
#include "gui/Settings.h"
#include "gui/StoredSettings.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QRect>
#include <QSettings>

#include <set>

#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#include <functional>

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
        // Clears what a start-up check may have armed, on this test's own folder.
        useConfigFolder(config.path());
        CheckSettingsStore();
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

// Runs body in a child process and returns its exit code (-1 when it did not exit normally).
// With asNobody, a child running as root gives up its privileges first, so that file
// permissions hold for it.
int inChild(const std::function<int()>& body, bool asNobody = false) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (asNobody && geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(99);
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Every key and value of an INI file, as QSettings reads it from the disk (from a fresh copy,
// which it has no cached parse of).
QMap<QString, QVariant> readByQSettings(const QString& path) {
    static int copies = 0;
    const QString copy = path + QStringLiteral(".copy%1").arg(++copies);
    EXPECT_TRUE(QFile::copy(path, copy));
    QMap<QString, QVariant> all;
    QSettings qt(copy, QSettings::IniFormat);
    for (const QString& key : qt.allKeys()) all.insert(key, qt.value(key));
    return all;
}

TEST_F(SettingsStore, TwoProgramsWritingAtOnceLoseNoKeys) {
    // Two running copies, each writing its own 200 keys as fast as it can: every write reads the
    // file, adds its key and writes the file back, so without a lock each copy keeps overwriting
    // the other's latest keys.
    WriteSetting(QStringLiteral("Start"), QStringLiteral("1"));
    pid_t children[2];
    for (int c = 0; c < 2; ++c) {
        children[c] = ::fork();
        if (children[c] == 0) {
            for (int k = 0; k < 200; ++k)
                WriteSetting(QStringLiteral("P%1K%2").arg(c).arg(k), QString::number(k * 7 + c));
            ::_exit(0);
        }
    }
    for (const pid_t pid : children) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    int kept = 0;
    for (int c = 0; c < 2; ++c)
        for (int k = 0; k < 200; ++k)
            kept +=
                ReadSetting(QStringLiteral("P%1K%2").arg(c).arg(k)) == QString::number(k * 7 + c);
    EXPECT_EQ(kept, 400);
    EXPECT_EQ(ReadSetting(QStringLiteral("Start")), QStringLiteral("1"));
    // The lock is given back: nothing but the store is left in the folder.
    EXPECT_EQ(
        QDir(QFileInfo(settingsFilePath()).absolutePath()).entryList(QDir::Files | QDir::Hidden),
        QStringList{"Varnobis.ini"});
}

TEST_F(SettingsStore, WritesTheSameFileQSettingsWrites) {
    const QString reference = config.path(QStringLiteral("reference.ini"));
    const std::pair<const char*, QString> writes[] = {
        {"Combo1", QStringLiteral("3")},
        {"Output Folder", QStringLiteral("  /a b/ ")},
        {"Keywords", QStringLiteral("x||MySeparator12||y,z;w=v")},
        {"Keywords", QStringLiteral("\"q\" \\ \t\a\b\f\v\r\n\x01"
                                    "1f end")},
        {"Keywords", QString(QChar(0)) + QStringLiteral("0a NUL")},
        {"Keywords", QStringLiteral("@at")},
        {"Keywords", QStringLiteral("Ünïcödé ✓ 漢字 \U0001F600 \x7f")},
        {"Keywords", QString(QChar(0xD800)) + QStringLiteral(" lone half")},
        {"Ke/y%=", QStringLiteral("odd key")},
        {"Ключ", QStringLiteral("unicode key")},
        {"Check1", QStringLiteral("1")},
        {"Keywords", QString()},
    };
    // Byte for byte what QSettings writes for the same values, in a store of our own keys.
    for (const auto& [key, value] : writes) {
        WriteSetting(QString::fromUtf8(key), value);
        {
            QSettings qt(reference, QSettings::IniFormat);
            qt.setValue(QStringLiteral("Varnobis/") + QString::fromUtf8(key), value);
        }
        ASSERT_EQ(TempDir::read(settingsFilePath()), TempDir::read(reference)) << key;
        if (!value.contains(QChar(0xD800))) {
            EXPECT_EQ(ReadSetting(QString::fromUtf8(key)), value) << key;
        }
    }

    // A store another program wrote with QSettings, with groups and value types of its own:
    // every one of them reads back the same after our writes.
    QFile::remove(reference);
    {
        QSettings other(reference, QSettings::IniFormat);
        other.setValue(QStringLiteral("top level"), QStringLiteral("t"));
        other.setValue(QStringLiteral("Other/list"), QStringList{"a", "b,c", " d"});
        other.setValue(QStringLiteral("Other/empty list"), QStringList{});
        other.setValue(QStringLiteral("Other/bytes"), QByteArray("\x01\x7f\xff(x)", 7));
        other.setValue(QStringLiteral("Other/rect"), QRect(1, 2, 3, 4));
        other.setValue(QStringLiteral("Other/number"), 42);
        other.setValue(QStringLiteral("general/x"), QStringLiteral("y"));
        other.setValue(QStringLiteral("Varnobis/Sub/Key"), QStringLiteral("deeper"));
    }
    QFile::remove(settingsFilePath());
    ASSERT_TRUE(QFile::copy(reference, settingsFilePath()));
    for (const auto& [key, value] : writes) {
        WriteSetting(QString::fromUtf8(key), value);
        QSettings qt(reference, QSettings::IniFormat);
        qt.setValue(QStringLiteral("Varnobis/") + QString::fromUtf8(key), value);
    }
    const auto ours = readByQSettings(settingsFilePath());
    const auto theirs = readByQSettings(reference);
    EXPECT_EQ(ours.keys(), theirs.keys());
    for (const QString& key : theirs.keys())
        EXPECT_EQ(ours.value(key), theirs.value(key)) << key.toStdString();
    EXPECT_EQ(ours.value(QStringLiteral("Other/rect")), QVariant(QRect(1, 2, 3, 4)));
}

TEST_F(SettingsStore, EveryRewriteIsSeenByTheNextRead) {
    // Same size, same clock tick: QSettings' cache of files it has read must not hide the change.
    for (int i = 0; i < 200; ++i) {
        const QString v = QString::number(i % 2);
        WriteSetting(QStringLiteral("Check1"), v);
        ASSERT_EQ(ReadSetting(QStringLiteral("Check1")), v) << i;
    }
}

TEST_F(SettingsStore, ADamagedStoreGivesDefaultsIsKeptAsideAndIsReportedOnce) {
    QDir().mkpath(QFileInfo(settingsFilePath()).absolutePath());
    const QByteArray damaged(
        "[Varnobis]\nCombo1=3\nOption1=False\nthis line is damage\n\x01\xff\n");
    config.write(QStringLiteral("Quorvane/Varnobis.ini"), damaged);
    QStringList reports;
    setSettingsWriteFailureHandler([&](const QString& d) { reports.append(d); });

    // Without the start-up check: defaults, and the damaged file is not overwritten.
    EXPECT_EQ(ReadSetting(QStringLiteral("Combo1"), QStringLiteral("0")), QStringLiteral("0"));
    EXPECT_EQ(ReadSetting(QStringLiteral("Option1"), QStringLiteral("True")),
              QStringLiteral("True"));
    WriteSetting(QStringLiteral("Combo1"), QStringLiteral("1"));
    ASSERT_EQ(reports.size(), 1);
    EXPECT_TRUE(reports[0].contains(QStringLiteral("damaged")) ||
                reports[0].contains(QStringLiteral("format")))
        << reports[0].toStdString();
    EXPECT_EQ(TempDir::read(settingsFilePath()), damaged);

    const QString message = CheckSettingsStore();
    EXPECT_TRUE(message.contains(settingsFilePath())) << message.toStdString();
    EXPECT_TRUE(message.contains(QStringLiteral("damaged"))) << message.toStdString();
    EXPECT_EQ(TempDir::read(settingsFilePath() + QStringLiteral(".damaged")), damaged);
    EXPECT_FALSE(QFile::exists(settingsFilePath()));
    // A fresh store starts; a second check has nothing to say.
    WriteSetting(QStringLiteral("Combo1"), QStringLiteral("4"));
    EXPECT_EQ(ReadSetting(QStringLiteral("Combo1")), QStringLiteral("4"));
    EXPECT_EQ(CheckSettingsStore(), QString());
    EXPECT_EQ(reports.size(), 1);
}

TEST_F(SettingsStore, AnUnreadableStoreGivesDefaultsAndOneMessage) {
    // A folder where the file should be: unreadable even for root.
    QDir().mkpath(settingsFilePath());
    EXPECT_EQ(ReadSetting(QStringLiteral("Check1"), QStringLiteral("1")), QStringLiteral("1"));
    const QString message = CheckSettingsStore();
    EXPECT_TRUE(message.contains(settingsFilePath())) << message.toStdString();
    EXPECT_TRUE(message.contains(QStringLiteral("folder"))) << message.toStdString();
    // As at start-up: the window installs its handler after the check; its refused writes are
    // covered by the message already shown.
    QStringList reports;
    setSettingsWriteFailureHandler([&](const QString& d) { reports.append(d); });
    WriteSetting(QStringLiteral("Check1"), QStringLiteral("0"));
    EXPECT_TRUE(reports.isEmpty()) << reports.value(0).toStdString();
    EXPECT_TRUE(QFileInfo(settingsFilePath()).isDir());
    QDir(settingsFilePath()).removeRecursively();

    // A file without read permission, for a user that permissions bind.
    WriteSetting(QStringLiteral("Check1"), QStringLiteral("0"));
    const QByteArray before = TempDir::read(settingsFilePath());
    ASSERT_EQ(::chmod(QFile::encodeName(settingsFilePath()).constData(), 0200), 0);
    if (geteuid() == 0) {
        // The child, as nobody, must reach the file.
        for (const QString& d : {config.path(), config.path(QStringLiteral("Quorvane"))})
            ::chmod(QFile::encodeName(d).constData(), 0777);
        ::chown(QFile::encodeName(settingsFilePath()).constData(), 65534, 65534);
    }
    const int code = inChild(
        [] {
            if (ReadSetting(QStringLiteral("Check1"), QStringLiteral("1")) != QStringLiteral("1"))
                return 1;
            const QString m = CheckSettingsStore();
            if (!m.contains(settingsFilePath()) || !m.contains(QStringLiteral("Permission denied")))
                return 2;
            int reported = 0;
            setSettingsWriteFailureHandler([&](const QString&) { ++reported; });
            WriteSetting(QStringLiteral("Check1"), QStringLiteral("1"));
            return reported == 0 ? 0 : 3;
        },
        true);
    EXPECT_EQ(code, 0);
    ::chmod(QFile::encodeName(settingsFilePath()).constData(), 0600);
    EXPECT_EQ(TempDir::read(settingsFilePath()), before);
}

// The store holds a few values; a child under a fault writes one that makes the file much
// larger. Afterwards the file must be exactly as before, with nothing left beside it.
class FullDisk : public SettingsStore {
protected:
    void prepareStore() {
        WriteSetting(QStringLiteral("Combo1"), QStringLiteral("2"));
        WriteSetting(QStringLiteral("Keywords"), QStringLiteral("alpha||MySeparator12||beta"));
        before = TempDir::read(settingsFilePath());
    }
    void expectIntact() {
        EXPECT_EQ(TempDir::read(settingsFilePath()), before);
        EXPECT_EQ(QDir(QFileInfo(settingsFilePath()).absolutePath())
                      .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                  QStringList{QStringLiteral("Varnobis.ini")});
    }
    // In a child: writes a value of `size` characters, 0 when the failure was reported naming
    // the store.
    static int writeReported(qsizetype size) {
        QString description;
        setSettingsWriteFailureHandler([&](const QString& d) { description = d; });
        WriteSetting(QStringLiteral("Keywords"), QString(size, QLatin1Char('k')));
        return description.contains(settingsFilePath()) ? 0 : 1;
    }
    QByteArray before;
};

TEST_F(FullDisk, AFileSizeLimitLeavesTheStoreAsItWas) {
    prepareStore();
    const rlim_t limit = rlim_t(before.size()) + 100;
    const auto limited = [limit](const std::function<int()>& body) {
        return inChild([&] {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit r{limit, limit};
            setrlimit(RLIMIT_FSIZE, &r);
            return body();
        });
    };
    // What QSettings does by itself under the same limit: it commits a file cut short at the
    // limit and reports nothing (Qt 6.4), which is why the store writes its own file.
    limited([] {
        QSettings qt(settingsFilePath(), QSettings::IniFormat);
        qt.setValue(QStringLiteral("Varnobis/Keywords"), QString(4000, QLatin1Char('k')));
        qt.sync();
        return 0;
    });
    const QByteArray afterQt = TempDir::read(settingsFilePath());
    EXPECT_LE(afterQt.size(), qsizetype(limit));
    RecordProperty("QSettingsCutTheFileShort", afterQt != before ? "yes" : "no");
    config.write(QStringLiteral("Quorvane/Varnobis.ini"), before);

    // The final flush (a small value), and one write larger than the whole write buffer.
    for (const qsizetype size : {qsizetype(4000), qsizetype(3) << 20}) {
        EXPECT_EQ(limited([size] { return writeReported(size); }), 0) << size;
        expectIntact();
    }
}

TEST_F(FullDisk, AFullFileSystemLeavesTheStoreAsItWas) {
    const QString mountPoint = config.path(QStringLiteral("Quorvane"));
    QDir().mkpath(mountPoint);
    if (::mount("tmpfs", QFile::encodeName(mountPoint).constData(), "tmpfs", 0,
                "size=64k,mode=0700") != 0)
        GTEST_SKIP() << "cannot mount a size-limited tmpfs here: " << std::strerror(errno);
    struct Unmount {
        QByteArray at;
        ~Unmount() { ::umount2(at.constData(), MNT_DETACH); }
    } unmount{QFile::encodeName(mountPoint)};
    prepareStore();
    // Fill what is left but a few blocks, so the new file runs out of room.
    {
        QFile filler(mountPoint + QStringLiteral("/filler"));
        ASSERT_TRUE(filler.open(QIODevice::WriteOnly));
        const QByteArray block(4096, 'f');
        for (int i = 0; i < 13; ++i) filler.write(block);
    }
    for (const qsizetype size : {qsizetype(16000), qsizetype(2) << 20}) {
        EXPECT_EQ(inChild([size] { return writeReported(size); }), 0) << size;
        EXPECT_EQ(TempDir::read(settingsFilePath()), before);
    }
    QFile::remove(mountPoint + QStringLiteral("/filler"));
    expectIntact();
}

// The table's keys are distinct, and each fixed default reads back as its type: a default that
// failed to convert would break start-up for every user without a stored value.
TEST(SettingsTable, DistinctKeysWhoseDefaultsReadAsTheirType) {
    std::set<std::string> names;
    for (const SettingKey& key : setting::all) {
        EXPECT_TRUE(names.insert(key.name).second) << key.name;
        if (!key.defaultValue)
            continue;
        const QString text = QString::fromLatin1(key.defaultValue);
        if (key.type == SettingType::Integer)
            EXPECT_NO_THROW(SettingToInteger(text)) << key.name;
        if (key.type == SettingType::Boolean)
            EXPECT_NO_THROW(SettingToBoolean(text)) << key.name;
    }
    EXPECT_EQ(names.size(), std::size_t(setting::count));
}

// Reads through the view give the table's default until the key is written, and the key lands in
// the store under its own name, as the window's store has always kept it.
TEST_F(SettingsStore, TheViewReadsDefaultsFromTheTableAndWritesUnderTheStoredName) {
    StoredSettings store;
    EXPECT_EQ(store.value(setting::InputBox), QStringLiteral("1,2,5"));
    EXPECT_EQ(store.value(setting::OutputFolder, QStringLiteral("/d/")), QStringLiteral("/d/"));
    store.setValue(setting::OutputFolder, QStringLiteral("/out/"));
    store.setValue(setting::InputBox, QString());
    EXPECT_EQ(ReadSetting(QStringLiteral("Output Folder")), QStringLiteral("/out/"));
    EXPECT_EQ(store.value(setting::InputBox), QString()) << "a stored empty list stays empty";
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
