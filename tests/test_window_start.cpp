// The window program's own start: what it does before any window exists.

#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>

namespace {

struct Outcome {
    int exitCode = -1;
    bool crashed = false;
    QString out, err;
};

// Starts the program with no display and no platform named, plus the given variables.
Outcome startWindow(const QStringList& args, const QStringList& extraEnv = {}) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    for (const QString& pair : extraEnv)
        env.insert(pair.section(QLatin1Char('='), 0, 0), pair.section(QLatin1Char('='), 1));
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(VARNOBIS_WINDOW), args);
    EXPECT_TRUE(p.waitForFinished(30000)) << "the window program did not end";
    if (p.state() != QProcess::NotRunning) {
        p.kill();
        p.waitForFinished();
    }
    return {p.exitCode(), p.exitStatus() == QProcess::CrashExit,
            QString::fromLocal8Bit(p.readAllStandardOutput()),
            QString::fromLocal8Bit(p.readAllStandardError())};
}

}  // namespace

TEST(WindowStart, HelpAndVersionPrintAndExitWithoutADisplay) {
    for (const char* flag : {"--help", "-h"}) {
        const Outcome o = startWindow({QString::fromLatin1(flag)});
        EXPECT_FALSE(o.crashed) << flag;
        EXPECT_EQ(o.exitCode, 0) << flag;
        EXPECT_TRUE(o.out.startsWith(QLatin1String("Usage: varnobis"))) << o.out.toStdString();
        EXPECT_TRUE(o.out.contains(QLatin1String("--version")));
        EXPECT_TRUE(o.err.isEmpty()) << o.err.toStdString();
    }
    for (const char* flag : {"--version", "-v"}) {
        const Outcome o = startWindow({QString::fromLatin1(flag)});
        EXPECT_EQ(o.exitCode, 0) << flag;
        EXPECT_EQ(o.out, QStringLiteral("varnobis %1\n").arg(QLatin1String(VARNOBIS_VERSION)));
    }
}

TEST(WindowStart, WithoutADisplayItSaysSoInOneLineAndExitsOne) {
    const Outcome o = startWindow({});
    EXPECT_FALSE(o.crashed);
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_TRUE(o.out.isEmpty());
    EXPECT_TRUE(o.err.startsWith(QLatin1String("varnobis: no display found")))
        << o.err.toStdString();
    EXPECT_EQ(o.err.count(QLatin1Char('\n')), 1) << o.err.toStdString();

    // A display that is named but cannot be opened is also one line and exit 1, not an abort.
    const Outcome unreachable = startWindow({}, {QStringLiteral("DISPLAY=:9731")});
    EXPECT_FALSE(unreachable.crashed);
    EXPECT_EQ(unreachable.exitCode, 1);
    EXPECT_TRUE(unreachable.err.startsWith(QLatin1String("varnobis: cannot open the display")))
        << unreachable.err.toStdString();
    EXPECT_TRUE(unreachable.err.contains(QLatin1String(":9731"))) << unreachable.err.toStdString();
    EXPECT_EQ(unreachable.err.count(QLatin1Char('\n')), 1) << unreachable.err.toStdString();
}
