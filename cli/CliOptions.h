#pragma once

#include "run/RunDriver.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace vn::cli {

struct CliOptions {
    run::RemoveMode mode = run::BlankLines;
    QString text;
    QStringList keywords;
    QStringList keywordFiles;  // "-" reads the keywords from standard input
    QString lines;
    bool ignoreCase = false;
    bool leaveBlank = false;
    QString outDir;
    bool inPlace = false;
    QStringList exts{QStringLiteral("*")};  // without a leading dot
    bool hidden = false;                    // folder walks also take names starting with "."
    bool dryRun = false;
    bool quiet = false;
    bool help = false;
    bool version = false;
    // Standard input to standard output: no PATH, or the single PATH "-".
    bool filter = false;
    QStringList paths;  // empty in filter mode
};

struct ParseResult {
    std::optional<CliOptions> options;
    QString error;  // one line, for a usage error
};

// Parses the arguments after the program name. Rejects missing and contradictory options and a
// line list that is not all numbers, so nothing is read or written on a usage error.
ParseResult parseArguments(const QStringList& args);

QString usageText();

// The mode's name on the command line ("blank", "containing", ...).
QString modeName(run::RemoveMode mode);

}  // namespace vn::cli
