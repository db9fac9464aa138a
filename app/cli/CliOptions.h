#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace vn::cli {

struct CliOptions {
    int mode = -1;  // the window's mode positions, 0 to 5
    QString text;
    QStringList keywords;
    QStringList keywordFiles;
    QString lines;
    bool hasText = false, hasLines = false;
    bool ignoreCase = false;
    bool leaveBlank = false;
    QString outDir;
    bool inPlace = false;
    QString ext = QStringLiteral("*");
    bool hasExt = false;
    bool quiet = false;
    bool help = false;
    bool version = false;
    QStringList paths;
};

struct ParseResult {
    std::optional<CliOptions> options;
    QString error;  // one line, for a usage error
};

// Parses the arguments after the program name. Rejects missing and contradictory options, so
// nothing is read or written on a usage error.
ParseResult parseArguments(const QStringList& args);

QString usageText();

}  // namespace vn::cli
