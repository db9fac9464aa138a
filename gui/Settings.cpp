#include "gui/Settings.h"

#include "core/Failure.h"
#include "platform/FileAccess.h"

#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QLockFile>
#include <QMap>
#include <QSettings>
#include <QStandardPaths>
#include <QVariant>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <system_error>

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace vn {

namespace {

const QString kSection = QStringLiteral("Varnobis");

struct WriteFailureReport {
    SettingsWriteFailureHandler handler;
    bool reported = false;
    // Set when start-up has already told the user that changes will not be remembered.
    bool toldAtStartup = false;
};

WriteFailureReport& writeFailureReport() {
    static WriteFailureReport report;
    return report;
}

void reportWriteFailure(const QString& description) {
    WriteFailureReport& r = writeFailureReport();
    if (r.reported || r.toldAtStartup)
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

#ifdef Q_OS_WIN

std::unique_ptr<QSettings> openRegistry() {
    auto s = std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                         QStringLiteral("Quorvane"));
    s->beginGroup(kSection);
    return s;
}

#else

// ---- reading: QSettings' own INI reader ----

enum class StoreState { Absent, Readable, Unreadable, Damaged };

struct StoreContents {
    StoreState state = StoreState::Absent;
    QString reason;                  // why it is unreadable or damaged
    QMap<QString, QVariant> values;  // every key of the file, with its group ("Varnobis/Combo1")
    struct stat st {};
};

const QString kDamaged = QStringLiteral("its contents are not in the settings file format");

StoreContents loadStore(const QString& path) {
    StoreContents c;
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        if (errno != ENOENT) {
            c.state = StoreState::Unreadable;
            c.reason = QString::fromLocal8Bit(std::strerror(errno));
        }
        return c;
    }
    const bool statted = ::fstat(fd, &c.st) == 0;
    const int err = errno;
    ::close(fd);
    if (!statted || !S_ISREG(c.st.st_mode)) {
        c.state = StoreState::Unreadable;
        c.reason = !statted                ? QString::fromLocal8Bit(std::strerror(err))
                   : S_ISDIR(c.st.st_mode) ? QStringLiteral("it is a folder, not a file")
                                           : QStringLiteral("it is not a regular file");
        return c;
    }
    // QSettings parses a file again only when its size or time has changed, and says nothing of
    // damage it found in an earlier parse; so the last damaged file seen is remembered.
    struct Seen {
        QString path;
        off_t size = -1;
        struct timespec mtime {};
    };
    static Seen lastDamaged;
    const bool sameAsDamaged = lastDamaged.path == path && lastDamaged.size == c.st.st_size &&
                               lastDamaged.mtime.tv_sec == c.st.st_mtim.tv_sec &&
                               lastDamaged.mtime.tv_nsec == c.st.st_mtim.tv_nsec;
    QSettings s(path, QSettings::IniFormat);
    for (const QString& key : s.allKeys()) c.values.insert(key, s.value(key));
    const QSettings::Status status = sameAsDamaged ? QSettings::FormatError : s.status();
    if (status == QSettings::FormatError)
        lastDamaged = {path, c.st.st_size, c.st.st_mtim};
    switch (status) {
        case QSettings::NoError:
            c.state = StoreState::Readable;
            break;
        case QSettings::FormatError:
            c.state = StoreState::Damaged;
            c.reason = kDamaged;
            break;
        case QSettings::AccessError:
            c.state = StoreState::Unreadable;
            c.reason = QStringLiteral("the file cannot be read");
            break;
    }
    return c;
}

// ---- writing: the same INI text QSettings writes, through AtomicFile ----
// QSettings writes through QSaveFile, which in Qt 6.4 does not notice when the last flush of its
// buffer fails (a full disk, a file-size limit), and then renames the cut-short file over the
// store. So the store writes its file itself, in exactly the form QSettings writes and reads.

bool isHexDigit(char16_t c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Key and section names: letters, digits, "_", "-" and "." stay, "/" becomes "\", everything
// else is %XX, or %UXXXX above U+00FF.
void appendKey(const QString& key, QByteArray& out) {
    static const char hex[] = "0123456789ABCDEF";
    for (const QChar qc : key) {
        const char16_t c = qc.unicode();
        if (c == '/') {
            out += '\\';
        } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                   c == '_' || c == '-' || c == '.') {
            out += char(c);
        } else if (c <= 0xFF) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += "%U";
            for (int shift = 12; shift >= 0; shift -= 4) out += hex[(c >> shift) & 15];
        }
    }
}

// A value: C-style escapes for control characters, quotes and backslashes; UTF-8 otherwise,
// except in the binary forms (@ByteArray, @Variant, @DateTime), which keep one byte per
// character. Quoted when it holds ";", "," or "=" or starts or ends with a space.
void appendString(const QString& text, QByteArray& out) {
    const bool binary = text.startsWith(QLatin1String("@ByteArray(")) ||
                        text.startsWith(QLatin1String("@Variant(")) ||
                        text.startsWith(QLatin1String("@DateTime("));
    const qsizetype start = out.size();
    bool needsQuotes = false;
    bool escapeNextIfHexDigit = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        if (c == ';' || c == ',' || c == '=')
            needsQuotes = true;
        // A hex digit right after a \x or \0 escape would be read as part of it.
        if (escapeNextIfHexDigit && isHexDigit(c)) {
            out += "\\x" + QByteArray::number(c, 16);
            continue;
        }
        escapeNextIfHexDigit = false;
        switch (c) {
            case 0:
                out += "\\0";
                escapeNextIfHexDigit = true;
                break;
            case '\a':
                out += "\\a";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\v':
                out += "\\v";
                break;
            case '"':
            case '\\':
                out += '\\';
                out += char(c);
                break;
            default:
                if (c <= 0x1F || (c >= 0x7F && binary)) {
                    out += "\\x" + QByteArray::number(c, 16);
                    escapeNextIfHexDigit = true;
                } else if (binary) {
                    out += char(c);
                } else if (QChar::isHighSurrogate(c) && i + 1 < text.size() &&
                           text.at(i + 1).isLowSurrogate()) {
                    out += text.mid(i, 2).toUtf8();
                    ++i;
                } else if (QChar::isSurrogate(c)) {
                    out += "\xEF\xBF\xBD";  // a lone half of a pair: U+FFFD, as Qt's encoder writes
                } else {
                    out += QString(QChar(c)).toUtf8();
                }
        }
    }
    if (needsQuotes ||
        (start < out.size() && (out.at(start) == ' ' || out.at(out.size() - 1) == ' '))) {
        out.insert(start, '"');
        out += '"';
    }
}

QString valueText(const QVariant& v) {
    switch (v.typeId()) {
        case QMetaType::UnknownType:
            return QStringLiteral("@Invalid()");
        case QMetaType::QByteArray: {
            const QByteArray a = v.toByteArray();
            return QStringLiteral("@ByteArray(") + QLatin1String(a.constData(), a.size()) +
                   QLatin1Char(')');
        }
        case QMetaType::QString:
        case QMetaType::LongLong:
        case QMetaType::ULongLong:
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::Bool:
        case QMetaType::Float:
        case QMetaType::Double: {
            const QString s = v.toString();
            if (s.contains(QChar::Null))
                return QStringLiteral("@String(") + s + QLatin1Char(')');
            return s.startsWith(QLatin1Char('@')) ? QLatin1Char('@') + s : s;
        }
        default: {
            // Values of other types (only other programs put them here) keep their binary form.
            const bool dateTime = v.typeId() == QMetaType::QDateTime;
            QByteArray a;
            {
                QDataStream s(&a, QIODevice::WriteOnly);
                s.setVersion(dateTime ? QDataStream::Qt_5_6 : QDataStream::Qt_4_0);
                s << v;
            }
            return QLatin1String(dateTime ? "@DateTime(" : "@Variant(") +
                   QLatin1String(a.constData(), a.size()) + QLatin1Char(')');
        }
    }
}

void appendValue(const QVariant& v, QByteArray& out) {
    const bool list = v.typeId() == QMetaType::QStringList ||
                      (v.typeId() == QMetaType::QVariantList && v.toList().size() != 1);
    if (!list) {
        appendString(valueText(v), out);
        return;
    }
    const QVariantList items = v.toList();
    if (items.isEmpty()) {
        out += "@Invalid()";
        return;
    }
    for (qsizetype i = 0; i < items.size(); ++i) {
        if (i != 0)
            out += ", ";
        appendString(valueText(items.at(i)), out);
    }
}

// The whole file: one section per first part of the keys ("General" for keys without one),
// sections and keys in name order, a blank line between sections.
QByteArray iniText(const QMap<QString, QVariant>& values) {
    QMap<QString, QMap<QString, QVariant> > sections;
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        const qsizetype slash = it.key().indexOf(QLatin1Char('/'));
        const QString section = slash < 0 ? QString() : it.key().left(slash);
        sections[section].insert(it.key().mid(slash + 1), it.value());
    }
    QByteArray out;
    for (auto s = sections.cbegin(); s != sections.cend(); ++s) {
        QByteArray name;
        appendKey(s.key(), name);
        if (name.isEmpty())
            name = "General";
        else if (name.compare("general", Qt::CaseInsensitive) == 0)
            name = "%General";
        if (s != sections.cbegin())
            out += '\n';
        out += '[' + name + "]\n";
        for (auto k = s.value().cbegin(); k != s.value().cend(); ++k) {
            appendKey(k.key(), out);
            out += '=';
            appendValue(k.value(), out);
            out += '\n';
        }
    }
    return out;
}

// QSettings keeps files it has read in a cache that it trusts while their size and modification
// time (to the millisecond) stay the same; a rewrite of the same size within one tick of the
// file system's clock would go unseen. So the new file's time is moved past the old one's.
void moveTimePast(const QString& path, const struct stat& old) {
    struct stat now;
    const QByteArray native = QFile::encodeName(path);
    if (::stat(native.constData(), &now) != 0)
        return;
    const auto ms = [](const struct timespec& t) {
        return std::int64_t(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
    };
    if (ms(now.st_mtim) > ms(old.st_mtim))
        return;
    const std::int64_t next = ms(old.st_mtim) + 1;
    struct timespec times[2];
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = time_t(next / 1000);
    times[1].tv_nsec = long(next % 1000) * 1000000;
    ::utimensat(AT_FDCWD, native.constData(), times, 0);
}

#endif

}  // namespace

QString settingsFilePath() {
    // GenericConfigLocation is $XDG_CONFIG_HOME, else ~/.config; Qt reads both at every call.
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/Quorvane/Varnobis.ini");
}

#ifdef Q_OS_WIN

QString ReadSetting(const QString& key, const QString& defaultValue) {
    const auto s = openRegistry();
    if (!s->contains(key))
        return defaultValue;
    const QVariant v = s->value(key);
    if (v.typeId() == QMetaType::QStringList)
        return v.toStringList().join(QStringLiteral(", "));
    return v.toString();
}

void WriteSetting(const QString& key, const QString& value) {
    const auto s = openRegistry();
    s->setValue(key, value);
    s->sync();
    if (s->status() != QSettings::NoError)
        reportWriteFailure(Failure::withReason(QStringLiteral("Cannot save the settings to"),
                                               s->fileName(),
                                               QStringLiteral("the registry refused the value"))
                               .description());
}

QString CheckSettingsStore() {
    writeFailureReport().toldAtStartup = false;
    return QString();
}

#else

QString ReadSetting(const QString& key, const QString& defaultValue) {
    // A damaged or unreadable store counts as empty: every key takes its default.
    const StoreContents store = loadStore(settingsFilePath());
    const auto it = store.values.constFind(kSection + QLatin1Char('/') + key);
    if (store.state != StoreState::Readable || it == store.values.cend())
        return defaultValue;
    // A hand-edited value with unquoted commas comes back from the INI reader as a list.
    if (it->typeId() == QMetaType::QStringList)
        return it->toStringList().join(QStringLiteral(", "));
    return it->toString();
}

void WriteSetting(const QString& key, const QString& value) {
    const QString path = settingsFilePath();
    std::error_code ec;
    std::filesystem::create_directories(
        QFile::encodeName(QFileInfo(path).absolutePath()).toStdString(), ec);
    if (ec) {
        reportWriteFailure(Failure::withReason(QStringLiteral("Cannot save the settings to"), path,
                                               QString::fromLocal8Bit(ec.message().c_str()))
                               .description());
        return;
    }
    // Read, merge and write form one step: without the lock, two windows writing at once would
    // each write back the file as they read it, and the other's key would be lost. A lock left by
    // a killed program is taken over once it is stale.
    QLockFile lock(path + QStringLiteral(".lock"));
    lock.setStaleLockTime(10000);
    if (!lock.tryLock(10000)) {
        const QString why =
            lock.error() == QLockFile::LockFailedError
                ? QStringLiteral("another program has held its lock file \"%1\" for too long")
                      .arg(QDir::toNativeSeparators(path + QStringLiteral(".lock")))
                : QStringLiteral("its lock file \"%1\" cannot be created")
                      .arg(QDir::toNativeSeparators(path + QStringLiteral(".lock")));
        reportWriteFailure(
            Failure::withReason(QStringLiteral("Cannot save the settings to"), path, why)
                .description());
        return;
    }
    StoreContents store = loadStore(path);
    QString reason;
    if (store.state == StoreState::Unreadable) {
        reason = store.reason;
    } else if (store.state == StoreState::Damaged) {
        // Rewriting it would throw away whatever the damaged file still holds.
        reason = kDamaged;
    } else {
        store.values.insert(kSection + QLatin1Char('/') + key, value);
        const QByteArray text = iniText(store.values);
        try {
            AtomicFile file(path);
            file.open();
            file.write(text.constData(), std::size_t(text.size()));
            file.commit();
            if (store.state == StoreState::Readable)
                moveTimePast(path, store.st);
            return;
        } catch (const Failure& f) {
            // AtomicFile names the store and the system's reason already.
            reportWriteFailure(f.description());
            return;
        }
    }
    reportWriteFailure(
        Failure::withReason(QStringLiteral("Cannot save the settings to"), path, reason)
            .description());
}

QString CheckSettingsStore() {
    WriteFailureReport& r = writeFailureReport();
    r.toldAtStartup = false;
    const QString path = settingsFilePath();
    const StoreContents store = loadStore(path);
    const QString shown = QDir::toNativeSeparators(path);
    if (store.state == StoreState::Unreadable) {
        r.toldAtStartup = true;
        return QStringLiteral(
                   "Cannot read the settings from \"%1\": %2.\r\rThe program starts "
                   "with the default settings, and changes will not be remembered.")
            .arg(shown, store.reason);
    }
    if (store.state != StoreState::Damaged)
        return QString();
    // The damaged file is kept for whoever wants to look into it, and a fresh store starts.
    const QString aside = path + QStringLiteral(".damaged");
    const QString message =
        QStringLiteral("The settings file \"%1\" is damaged: %2.\r\r").arg(shown, store.reason);
    if (std::rename(QFile::encodeName(path).constData(), QFile::encodeName(aside).constData()) == 0)
        return message + QStringLiteral(
                             "It was kept as \"%1\", and the program starts with the "
                             "default settings.")
                             .arg(QDir::toNativeSeparators(aside));
    r.toldAtStartup = true;
    return message + QStringLiteral(
                         "It could not be set aside (%1), so the program starts with "
                         "the default settings, and changes will not be remembered.")
                         .arg(QString::fromLocal8Bit(std::strerror(errno)));
}

#endif

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
