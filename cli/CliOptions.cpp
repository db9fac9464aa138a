#include "cli/CliOptions.h"

#include "core/Failure.h"
#include "engine/LineNumbers.h"

#include <QCommandLineParser>

#include <array>
#include <cmath>

namespace vn::cli {
namespace {

constexpr std::array<const char*, 6> kModes = {"blank",    "containing",   "not-containing",
                                               "keywords", "not-keywords", "line-numbers"};

ParseResult failWith(const QString& message) {
    return {std::nullopt, message};
}

// Qt's own messages end in a full stop and start with a capital; ours are one lower-case clause,
// as the other tools on the command line write theirs.
QString clause(QString qtMessage) {
    if (qtMessage.endsWith(QLatin1Char('.')))
        qtMessage.chop(1);
    if (!qtMessage.isEmpty())
        qtMessage[0] = qtMessage[0].toLower();
    return qtMessage;
}

// The window reads a bad piece of the list as "not a number" file by file and goes on; a script
// is better served by a refusal before anything is touched.
QString lineListError(const QString& list) {
    for (const QString& piece : list.split(QLatin1Char(','))) {
        const std::optional<double> value = engine::parseNumber(piece);
        if (!value)
            return QStringLiteral("--lines: \"%1\" is not a number").arg(piece);
        const double r = std::nearbyint(*value);
        if (!(r >= 1.0 && r <= 32767.0))
            return QStringLiteral("--lines: \"%1\" is out of range (1 to 32767)").arg(piece);
    }
    return QString();
}

}  // namespace

QString modeName(run::RemoveMode mode) {
    return QString::fromLatin1(kModes[std::size_t(mode)]);
}

QString usageText() {
    return QStringLiteral(
        "Usage: varnobis-cli --mode MODE [options] [PATH...]\n"
        "Removes lines from text files, file by file, writing each result in its input's\n"
        "encoding and with its input's line breaks. With no PATH, or the PATH -, it reads\n"
        "standard input and writes the result to standard output.\n"
        "\n"
        "  --mode MODE          blank | containing | not-containing | keywords |\n"
        "                       not-keywords | line-numbers\n"
        "  --text TEXT          the search text (containing, not-containing)\n"
        "  --keyword WORD       a keyword; repeatable (keywords, not-keywords)\n"
        "  --keywords-file F    one keyword per line, in the file's own encoding class;\n"
        "                       - reads them from standard input\n"
        "  --lines LIST         the line-number list, e.g. 1,2,5\n"
        "  -i, --ignore-case    compare ignoring case\n"
        "  --leave-blank        leave an empty line in place of each removed line\n"
        "  -o, --out-dir DIR    save results to this folder (NAME.EXT becomes NAME.txt)\n"
        "  --in-place           write each result onto its input file\n"
        "  --ext EXT            for folder arguments: an extension to take (default *);\n"
        "                       repeatable\n"
        "  --hidden             folder walks also take hidden files and folders\n"
        "  -n, --dry-run        do the whole run and report it, but write nothing\n"
        "  --quiet              no per-file lines and no totals\n"
        "  -h, --help           show this help\n"
        "  -V, --version        show the version\n"
        "\n"
        "Each processed file prints: input path, lines read, lines removed, output path,\n"
        "separated by tabs; a totals line follows. Exit status: 0 all files processed,\n"
        "1 some file failed, 2 usage error.\n");
}

ParseResult parseArguments(const QStringList& args) {
    QCommandLineParser p;
    p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
    p.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    const QCommandLineOption mode(QStringLiteral("mode"), QString(), QStringLiteral("MODE"));
    const QCommandLineOption text(QStringLiteral("text"), QString(), QStringLiteral("TEXT"));
    const QCommandLineOption keyword(QStringLiteral("keyword"), QString(), QStringLiteral("WORD"));
    const QCommandLineOption keywordsFile(QStringLiteral("keywords-file"), QString(),
                                          QStringLiteral("F"));
    const QCommandLineOption lines(QStringLiteral("lines"), QString(), QStringLiteral("LIST"));
    const QCommandLineOption ignoreCase({QStringLiteral("i"), QStringLiteral("ignore-case")},
                                        QString());
    const QCommandLineOption leaveBlank(QStringLiteral("leave-blank"), QString());
    const QCommandLineOption outDir({QStringLiteral("o"), QStringLiteral("out-dir")}, QString(),
                                    QStringLiteral("DIR"));
    const QCommandLineOption inPlace(QStringLiteral("in-place"), QString());
    const QCommandLineOption ext(QStringLiteral("ext"), QString(), QStringLiteral("EXT"));
    const QCommandLineOption hidden(QStringLiteral("hidden"), QString());
    const QCommandLineOption dryRun({QStringLiteral("n"), QStringLiteral("dry-run")}, QString());
    const QCommandLineOption quiet(QStringLiteral("quiet"), QString());
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QString());
    const QCommandLineOption version({QStringLiteral("V"), QStringLiteral("version")}, QString());
    p.addOptions({mode, text, keyword, keywordsFile, lines, ignoreCase, leaveBlank, outDir, inPlace,
                  ext, hidden, dryRun, quiet, help, version});

    if (!p.parse(QStringList{QStringLiteral("varnobis-cli")} + args)) {
        const QStringList unknown = p.unknownOptionNames();
        if (!unknown.isEmpty()) {
            const QString& name = unknown.first();
            return failWith(
                QStringLiteral("unknown option %1%2")
                    .arg(name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--"), name));
        }
        return failWith(clause(p.errorText()));
    }

    CliOptions o;
    o.help = p.isSet(help);
    o.version = p.isSet(version);
    if (o.help || o.version)
        return {o, QString()};

    auto once = [&](const QCommandLineOption& opt) { return p.values(opt).size() <= 1; };
    for (const QCommandLineOption* opt : {&mode, &text, &lines, &outDir})
        if (!once(*opt))
            return failWith(QStringLiteral("--%1 given twice").arg(opt->names().constLast()));

    if (!p.isSet(mode))
        return failWith(QStringLiteral("--mode is required"));
    const QString modeValue = p.value(mode);
    const auto found = std::find_if(kModes.begin(), kModes.end(),
                                    [&](const char* m) { return modeValue == QLatin1String(m); });
    if (found == kModes.end())
        return failWith(QStringLiteral("unknown mode \"%1\"").arg(modeValue));
    o.mode = run::RemoveMode(found - kModes.begin());

    o.text = p.value(text);
    o.keywords = p.values(keyword);
    o.keywordFiles = p.values(keywordsFile);
    o.lines = p.value(lines);
    o.ignoreCase = p.isSet(ignoreCase);
    o.leaveBlank = p.isSet(leaveBlank);
    o.outDir = p.value(outDir);
    o.inPlace = p.isSet(inPlace);
    o.hidden = p.isSet(hidden);
    o.dryRun = p.isSet(dryRun);
    o.quiet = p.isSet(quiet);
    o.paths = p.positionalArguments();

    if (p.isSet(ext)) {
        o.exts.clear();
        for (QString e : p.values(ext)) {
            // "--ext .txt" means what "--ext txt" means: the walk adds the dot itself.
            if (e.startsWith(QLatin1Char('.')))
                e.remove(0, 1);
            if (e.isEmpty())
                return failWith(QStringLiteral("--ext needs an extension"));
            if (!o.exts.contains(e))
                o.exts.append(e);
        }
    }
    for (const QString& k : o.keywords)
        // The window never adds a keyword that is empty after trimming.
        if (k.trimmed().isEmpty())
            return failWith(QStringLiteral("--keyword must not be empty"));
    if (p.isSet(outDir) && o.outDir.isEmpty())
        return failWith(QStringLiteral("--out-dir needs a folder"));

    const bool search = o.mode == run::Containing || o.mode == run::NotContaining;
    const bool keywordMode =
        o.mode == run::ContainingKeywords || o.mode == run::NotContainingKeywords;
    if (search && !p.isSet(text))
        return failWith(QStringLiteral("this mode needs --text"));
    if (search && o.text.isEmpty())
        return failWith(QStringLiteral("--text must not be empty"));
    if (!search && p.isSet(text))
        return failWith(QStringLiteral("--text applies only to containing and not-containing"));
    if (keywordMode && o.keywords.isEmpty() && o.keywordFiles.isEmpty())
        return failWith(QStringLiteral("this mode needs --keyword or --keywords-file"));
    if (!keywordMode && (!o.keywords.isEmpty() || !o.keywordFiles.isEmpty()))
        return failWith(QStringLiteral(
            "--keyword and --keywords-file apply only to keywords and not-keywords"));
    if (o.mode == run::LineNumbers && !p.isSet(lines))
        return failWith(QStringLiteral("this mode needs --lines"));
    if (o.mode == run::LineNumbers && o.lines.isEmpty())
        return failWith(QStringLiteral("--lines must not be empty"));
    if (o.mode != run::LineNumbers && p.isSet(lines))
        return failWith(QStringLiteral("--lines applies only to line-numbers"));
    if (o.mode == run::LineNumbers)
        if (const QString e = lineListError(o.lines); !e.isEmpty())
            return failWith(e);
    // The window greys these options out for the modes that ignore them.
    if (o.ignoreCase && (o.mode == run::BlankLines || o.mode == run::LineNumbers))
        return failWith(QStringLiteral("--ignore-case does not apply to this mode"));
    if (o.leaveBlank && o.mode == run::BlankLines)
        return failWith(QStringLiteral("--leave-blank does not apply to blank"));

    o.filter = o.paths.isEmpty() || o.paths.contains(QStringLiteral("-"));
    if (o.filter) {
        if (o.paths.size() > 1)
            return failWith(
                QStringLiteral("- (standard input) cannot be combined with other paths"));
        if (o.inPlace)
            return failWith(QStringLiteral("standard input cannot be combined with --in-place"));
        if (!o.outDir.isEmpty())
            return failWith(QStringLiteral("standard input cannot be combined with --out-dir"));
        if (o.keywordFiles.contains(QStringLiteral("-")))
            return failWith(QStringLiteral(
                "--keywords-file - cannot be combined with standard input as the PATH"));
        o.paths.clear();
        return {o, QString()};
    }
    if (o.keywordFiles.count(QStringLiteral("-")) > 1)
        return failWith(QStringLiteral("--keywords-file - given twice"));
    if (o.inPlace == !o.outDir.isEmpty())
        return failWith(QStringLiteral("give exactly one of --out-dir and --in-place"));
    return {o, QString()};
}

}  // namespace vn::cli
