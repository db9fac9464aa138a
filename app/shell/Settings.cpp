#include "app/shell/Settings.h"

#include "platform/Failure.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <QVariant>

#include <cmath>
#include <filesystem>
#include <limits>
#include <memory>
#include <system_error>

namespace vn {

namespace {

const QString kSection = QStringLiteral("Varnobis");

struct WriteFailureReport {
    SettingsWriteFailureHandler handler;
    bool reported = false;
};

WriteFailureReport& writeFailureReport() {
    static WriteFailureReport report;
    return report;
}

// A fresh QSettings per call: QSettings' default constructor fixes the file's path at its first
// use in the process, and the store must follow the configuration folder as it is now.
std::unique_ptr<QSettings> openStore() {
#ifdef Q_OS_WIN
    auto s = std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                         QStringLiteral("Quorvane"));
#else
    auto s = std::make_unique<QSettings>(settingsFilePath(), QSettings::IniFormat);
#endif
    s->beginGroup(kSection);
    return s;
}

// QSettings says only that a write failed; find the system's reason by trying what it needs:
// the folder, a new file beside the store (it writes through a temporary file and a rename),
// and the store file itself.
QString writeFailureReason(const QString& path) {
    const QString folder = QFileInfo(path).absolutePath();
    std::error_code ec;
    std::filesystem::create_directories(QFile::encodeName(folder).toStdString(), ec);
    if (ec)
        return QString::fromLocal8Bit(ec.message().c_str());
    QTemporaryFile probe(folder + QStringLiteral("/.varnobis-probe-XXXXXX"));
    if (!probe.open())
        return probe.errorString();
    probe.close();
    QFile store(path);
    if (store.exists() && !store.open(QIODevice::ReadWrite))
        return store.errorString();
    return QStringLiteral("the settings file could not be written");
}

void reportWriteFailure(const QString& description) {
    WriteFailureReport& r = writeFailureReport();
    if (r.reported)
        return;
    r.reported = true;
    if (r.handler)
        r.handler(description);
    else
        qWarning("%s", qPrintable(description));
}

QString trimmedSpaces(const QString& text) {
    qsizetype from = 0, to = text.size();
    while (from < to && text.at(from) == QLatin1Char(' ')) ++from;
    while (to > from && text.at(to - 1) == QLatin1Char(' ')) --to;
    return text.mid(from, to - from);
}

// Decimal numbers as the program writes them: "." for the fraction, no digit grouping.
QLocale numberLocale() {
    QLocale c = QLocale::c();
    c.setNumberOptions(QLocale::RejectGroupSeparator);
    return c;
}

}  // namespace

QString settingsFilePath() {
    // GenericConfigLocation is $XDG_CONFIG_HOME, else ~/.config; Qt reads both at every call.
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/Quorvane/Varnobis.ini");
}

QString ReadSetting(const QString& key, const QString& defaultValue) {
    const auto s = openStore();
    if (!s->contains(key))
        return defaultValue;
    const QVariant v = s->value(key);
    // A hand-edited value with unquoted commas comes back from the INI reader as a list.
    if (v.typeId() == QMetaType::QStringList)
        return v.toStringList().join(QStringLiteral(", "));
    return v.toString();
}

void WriteSetting(const QString& key, const QString& value) {
    const auto s = openStore();
    s->setValue(key, value);
    s->sync();
    if (s->status() == QSettings::NoError)
        return;
#ifdef Q_OS_WIN
    const QString path = s->fileName();
    const QString reason = QStringLiteral("the registry refused the value");
#else
    const QString path = settingsFilePath();
    const QString reason = writeFailureReason(path);
#endif
    reportWriteFailure(
        Failure::withReason(QStringLiteral("Cannot save the settings to"), path, reason)
            .description());
}

void setSettingsWriteFailureHandler(SettingsWriteFailureHandler handler) {
    WriteFailureReport& r = writeFailureReport();
    r.handler = std::move(handler);
    r.reported = false;
}

bool SettingToBoolean(const QString& text) {
    const QString t = trimmedSpaces(text);
    if (t.compare(QLatin1String("True"), Qt::CaseInsensitive) == 0)
        return true;
    if (t.compare(QLatin1String("False"), Qt::CaseInsensitive) == 0)
        return false;
    bool ok = false;
    const double number = numberLocale().toDouble(t, &ok);
    if (!ok || !std::isfinite(number))
        throw Failure(
            QStringLiteral("Type mismatch: \"%1\" is neither True, False nor a number").arg(text));
    return number != 0.0;
}

int SettingToInteger(const QString& text) {
    const QString t = trimmedSpaces(text);
    bool ok = false;
    const qlonglong number = numberLocale().toLongLong(t, &ok);
    if (!ok)
        throw Failure(QStringLiteral("Type mismatch: \"%1\" is not a whole number").arg(text));
    if (number < std::numeric_limits<int>::min() || number > std::numeric_limits<int>::max())
        throw Failure(QStringLiteral("Overflow: %1 is too large").arg(t));
    return int(number);
}

}  // namespace vn
