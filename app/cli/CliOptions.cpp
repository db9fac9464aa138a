#include "app/cli/CliOptions.h"

namespace vn::cli {
namespace {

const char* const kModes[] = {"blank",    "containing",   "not-containing",
                              "keywords", "not-keywords", "line-numbers"};

ParseResult failWith(const QString& message) { return {std::nullopt, message}; }

}  // namespace

QString usageText() {
    return QStringLiteral(
        "Usage: varnobis-cli --mode MODE [options] PATH...\n"
        "Removes lines from text files, file by file, writing each result in its input's\n"
        "encoding.\n"
        "\n"
        "  --mode MODE       blank | containing | not-containing | keywords | not-keywords |\n"
        "                    line-numbers\n"
        "  --text TEXT       the search text (containing, not-containing)\n"
        "  --keyword WORD    a keyword; repeatable (keywords, not-keywords)\n"
        "  --keywords-file F one keyword per line, in the file's own encoding class\n"
        "  --lines LIST      the line-number list, e.g. 1,2,5\n"
        "  --ignore-case     compare ignoring case\n"
        "  --leave-blank     leave an empty line in place of each removed line\n"
        "  --out-dir DIR     save results to this folder (NAME.EXT becomes NAME.txt)\n"
        "  --in-place        write each result onto its input file\n"
        "  --ext EXT         for folder arguments: the extension to take (default *)\n"
        "  --quiet           no per-file lines\n"
        "  --help, --version\n"
        "\n"
        "Each processed file prints: input path, lines read, lines removed, output path,\n"
        "separated by tabs. Exit status: 0 all files processed, 1 some file failed, 2 usage.\n");
}

ParseResult parseArguments(const QStringList& args) {
    CliOptions o;
    bool endOfOptions = false;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (endOfOptions || !a.startsWith(QLatin1String("--"))) {
            if (!endOfOptions && a.startsWith(QLatin1Char('-')) && a.size() > 1)
                return failWith(QStringLiteral("unknown option %1").arg(a));
            o.paths.append(a);
            continue;
        }
        if (a == QLatin1String("--")) {
            endOfOptions = true;
            continue;
        }
        QString name = a;
        QString value;
        bool inlineValue = false;
        if (const qsizetype eq = a.indexOf(QLatin1Char('=')); eq > 0) {
            name = a.left(eq);
            value = a.mid(eq + 1);
            inlineValue = true;
        }
        const bool takesValue = name == QLatin1String("--mode") || name == QLatin1String("--text") ||
                                name == QLatin1String("--keyword") ||
                                name == QLatin1String("--keywords-file") ||
                                name == QLatin1String("--lines") ||
                                name == QLatin1String("--out-dir") || name == QLatin1String("--ext");
        if (takesValue && !inlineValue) {
            if (i + 1 >= args.size()) return failWith(QStringLiteral("%1 needs a value").arg(name));
            value = args[++i];
        } else if (!takesValue && inlineValue) {
            return failWith(QStringLiteral("%1 takes no value").arg(name));
        }
        if (name == QLatin1String("--mode")) {
            if (o.mode != -1) return failWith(QStringLiteral("--mode given twice"));
            for (int m = 0; m < 6; ++m)
                if (value == QLatin1String(kModes[m])) o.mode = m;
            if (o.mode == -1) return failWith(QStringLiteral("unknown mode \"%1\"").arg(value));
        } else if (name == QLatin1String("--text")) {
            if (o.hasText) return failWith(QStringLiteral("--text given twice"));
            o.text = value;
            o.hasText = true;
        } else if (name == QLatin1String("--keyword")) {
            // The window never adds a keyword that is empty after trimming.
            if (value.trimmed().isEmpty()) return failWith(QStringLiteral("--keyword must not be empty"));
            o.keywords.append(value);
        } else if (name == QLatin1String("--keywords-file")) {
            o.keywordFiles.append(value);
        } else if (name == QLatin1String("--lines")) {
            if (o.hasLines) return failWith(QStringLiteral("--lines given twice"));
            o.lines = value;
            o.hasLines = true;
        } else if (name == QLatin1String("--out-dir")) {
            if (!o.outDir.isEmpty()) return failWith(QStringLiteral("--out-dir given twice"));
            if (value.isEmpty()) return failWith(QStringLiteral("--out-dir needs a folder"));
            o.outDir = value;
        } else if (name == QLatin1String("--ext")) {
            if (value.isEmpty()) return failWith(QStringLiteral("--ext needs an extension"));
            o.ext = value;
            o.hasExt = true;
        } else if (name == QLatin1String("--ignore-case")) {
            o.ignoreCase = true;
        } else if (name == QLatin1String("--leave-blank")) {
            o.leaveBlank = true;
        } else if (name == QLatin1String("--in-place")) {
            o.inPlace = true;
        } else if (name == QLatin1String("--quiet")) {
            o.quiet = true;
        } else if (name == QLatin1String("--help")) {
            o.help = true;
        } else if (name == QLatin1String("--version")) {
            o.version = true;
        } else {
            return failWith(QStringLiteral("unknown option %1").arg(name));
        }
    }
    if (o.help || o.version) return {o, QString()};

    if (o.mode == -1) return failWith(QStringLiteral("--mode is required"));
    const bool search = o.mode == 1 || o.mode == 2;
    const bool keywordMode = o.mode == 3 || o.mode == 4;
    if (search && !o.hasText) return failWith(QStringLiteral("this mode needs --text"));
    if (search && o.text.isEmpty()) return failWith(QStringLiteral("--text must not be empty"));
    if (!search && o.hasText) return failWith(QStringLiteral("--text applies only to containing and not-containing"));
    if (keywordMode && o.keywords.isEmpty() && o.keywordFiles.isEmpty())
        return failWith(QStringLiteral("this mode needs --keyword or --keywords-file"));
    if (!keywordMode && (!o.keywords.isEmpty() || !o.keywordFiles.isEmpty()))
        return failWith(QStringLiteral("--keyword and --keywords-file apply only to keywords and not-keywords"));
    if (o.mode == 5 && !o.hasLines) return failWith(QStringLiteral("this mode needs --lines"));
    if (o.mode == 5 && o.lines.isEmpty()) return failWith(QStringLiteral("--lines must not be empty"));
    if (o.mode != 5 && o.hasLines) return failWith(QStringLiteral("--lines applies only to line-numbers"));
    // The window greys these options out for the modes that ignore them.
    if (o.ignoreCase && (o.mode == 0 || o.mode == 5))
        return failWith(QStringLiteral("--ignore-case does not apply to this mode"));
    if (o.leaveBlank && o.mode == 0)
        return failWith(QStringLiteral("--leave-blank does not apply to blank"));
    if (o.inPlace == !o.outDir.isEmpty())
        return failWith(QStringLiteral("give exactly one of --out-dir and --in-place"));
    if (o.paths.isEmpty()) return failWith(QStringLiteral("no PATH given"));
    return {o, QString()};
}

}  // namespace vn::cli
