#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace vn::test {

// A temporary folder with small helpers to write and read whole files; writing makes the
// folders a name goes through.
class TempDir {
public:
    TempDir() { EXPECT_TRUE(m_dir.isValid()); }
    QString path(const QString& name = QString()) const {
        return name.isEmpty() ? m_dir.path() : m_dir.filePath(name);
    }
    QString write(const QString& name, const QByteArray& bytes) const {
        const QString p = path(name);
        QDir().mkpath(QFileInfo(p).absolutePath());
        QFile f(p);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << p.toStdString();
        EXPECT_EQ(f.write(bytes), bytes.size());
        return p;
    }
    static QByteArray read(const QString& p) {
        QFile f(p);
        if (!f.open(QIODevice::ReadOnly))
            return QByteArray("<missing>");
        return f.readAll();
    }
    QStringList entries() const {
        return QDir(m_dir.path())
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
    }

private:
    QTemporaryDir m_dir;
};

}  // namespace vn::test
