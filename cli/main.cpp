// varnobis-cli: the run driver and the engine of the window, behind a command line.

#include "cli/CliOptions.h"
#include "cli/ConsoleServices.h"
#include "cli/FolderInput.h"
#include "core/ErrorLocations.h"
#include "core/Failure.h"
#include "core/NativeName.h"
#include "filelist/PathTests.h"
#include "platform/FileAccess.h"
#include "run/RunDriver.h"
#include "textio/TextFile.h"

#include <QDir>
#include <QHash>
#include <QTemporaryDir>

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>

using namespace vn;

namespace {

// How standard input and output are named in messages and in the report.
const QString kStdinName = QStringLiteral("(standard input)");

struct Views : LineOptionView, KeywordListView, run::RunOptionsView, SettingsView, run::RunPrompts {
    cli::CliOptions o;
    QStringList keywordList;
    QString outputFolderPath;
    QHash<QString, QString> memory;

    bool leaveBlankLine() const override { return o.leaveBlank; }
    int count() const override { return int(keywordList.size()); }
    QString text(int k) const override { return keywordList.value(k - 1); }
    run::RemoveMode mode() const override { return o.mode; }
    bool ignoreCase() const override { return o.ignoreCase; }
    bool saveToFolder() const override { return !o.inPlace; }
    QString outputFolder() const override { return outputFolderPath; }
    QString read(const QString& key, const QString& def) override { return memory.value(key, def); }
    void write(const QString& key, const QString& value) override { memory[key] = value; }
    // The run's questions are answered by the options, which the parser has already checked.
    QString searchText() override { return o.text; }
    QString lineNumberList(const QString&) override { return o.lines; }
};

struct FileListAdapter : run::FileListView {
    const QStringList& files;
    explicit FileListAdapter(const QStringList& f) : files(f) {}
    int count() const override { return int(files.size()); }
    QString text(int i) const override { return files.value(i - 1); }
};

struct Totals {
    long long files = 0, linesRead = 0, linesRemoved = 0, skipped = 0, failed = 0;
};

// The per-file report: one line per entry on `out` (none when it is null), and the totals.
struct Reporter : run::RunObserver {
    cli::ConsoleServices& ws;
    std::FILE* out;
    Totals totals;
    bool lastStopped = false;  // the file worked on when the stop came was left as it was
    std::optional<engine::FileResult> last;
    bool reportLost = false;
    Reporter(cli::ConsoleServices& s, std::FILE* o) : ws(s), out(o) {}

    void fileStarted(int, const QString& input, const QString&) override {
        ws.setCurrentFile(input);
    }
    void fileFinished(int, const QString& input, const QString& output,
                      const engine::FileResult& r) override {
        ws.setCurrentFile(QString());
        last = r;
        lastStopped = r.stopped;
        const bool ok = r.read && !r.stopped && !r.failed;
        if (ok && !r.skipped.isEmpty()) {
            // Left alone on purpose (a binary file): said, but not a failure.
            ++totals.skipped;
            print("%s\t0\t0\tskipped (%s)\n", ws.shown(input).constData(),
                  r.skipped.toLocal8Bit().constData());
            return;
        }
        if (ok) {
            ++totals.files;
            totals.linesRead += r.linesRead;
            totals.linesRemoved += r.linesRemoved;
        } else if (!r.stopped) {
            ++totals.failed;
        }
        // A stopped file gets no output path: that column says the file was written.
        const char* status = r.stopped ? "STOPPED" : ok ? nullptr : "FAILED";
        print("%s\t%lld\t%lld\t%s\n", ws.shown(input).constData(),
              static_cast<long long>(r.linesRead), static_cast<long long>(r.linesRemoved),
              status ? status : ws.shown(output).constData());
    }
    void fileSkipped(int, const QString& input, const run::SkipReason& reason) override {
        if (input.isEmpty())
            return;
        if (reason.kind == run::SkipReason::Unreadable) {
            // The run has reported why already.
            ++totals.failed;
            print("%s\t0\t0\tFAILED\n", ws.shown(input).constData());
            return;
        }
        if (reason.kind != run::SkipReason::Quiet) {
            // A result that would have replaced another is a failure; a file met again under
            // another path was processed once, as asked.
            ++(reason.isFailure() ? totals.failed : totals.skipped);
            const QByteArray line =
                ws.shown(input) + "\t0\t0\tskipped (" + reason.text.toLocal8Bit() + ")\n";
            // Without a report, a refused result is still said, on standard error.
            if (!out && reason.isFailure()) {
                ws.clearProgressLine();
                std::fputs(line.constData(), stderr);
                std::fflush(stderr);
            }
            print("%s", line.constData());
            return;
        }
        // The search modes pass over an input without content, and one that is not there, as
        // the window does. A script must learn that a file it named was not there.
        try {
            unsigned char none[1];
            readFileHead(input, none, 0);
        } catch (const Failure& e) {
            ++totals.failed;
            ws.reportFailure(e, loc::PushButton2_Click, 0);
            print("%s\t0\t0\tFAILED\n", ws.shown(input).constData());
            return;
        }
        ++totals.skipped;
        print("%s\t0\t0\tskipped (empty file)\n", ws.shown(input).constData());
    }

    // Writes a report line. When the report is gone (a closed pipe), the run is stopped cleanly
    // rather than carried on with nobody to learn what it did.
    template <class... A>
    void print(const char* format, A... args) {
        if (!out || reportLost)
            return;
        ws.clearProgressLine();
        std::fprintf(out, format, args...);
        if (std::fflush(out) == 0 && !std::ferror(out))
            return;
        const int err = errno;
        reportLost = true;
        std::fprintf(stderr, "varnobis-cli: cannot write the report: %s; stopping\n",
                     std::strerror(err));
        std::fflush(stderr);
        cli::ConsoleServices::requestStop();
    }

    void printTotals(bool dryRun) {
        print(
            "Total: %lld %s, %lld lines read, %lld removed, %lld passed over, %lld "
            "failed%s\n",
            totals.files, totals.files == 1 ? "file" : "files", totals.linesRead,
            totals.linesRemoved, totals.skipped, totals.failed,
            dryRun ? " (dry run: nothing written)" : "");
    }
};

int usageError(const QString& message) {
    std::fprintf(stderr, "varnobis-cli: %s\nTry 'varnobis-cli --help' for more information.\n",
                 qPrintable(message));
    return 2;
}

// Copies one descriptor to another in pieces, so that memory stays flat whatever the size.
// Returns the errno of the first failure and whether it was on the reading side.
struct CopyError {
    int err = 0;
    bool reading = false;
};
CopyError copyAll(int from, int to) {
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(from, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return {errno, true};
        if (n == 0)
            return {};
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(to, buffer + done, std::size_t(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w < 0)
                return {errno, false};
            done += w;
        }
    }
}

// Standard input, kept in a private file so that the engine reads it as it reads any file.
bool spoolStandardInput(const QString& path) {
    const int fd =
        ::open(nativeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        std::fprintf(stderr, "varnobis-cli: %s: cannot keep a copy of it: %s\n",
                     qPrintable(kStdinName), std::strerror(errno));
        return false;
    }
    const CopyError e = copyAll(STDIN_FILENO, fd);
    const int closeErr = ::close(fd) == 0 ? 0 : errno;
    if (e.err || closeErr) {
        std::fprintf(stderr, "varnobis-cli: %s: cannot %s: %s\n", qPrintable(kStdinName),
                     e.reading ? "read it" : "keep a copy of it",
                     std::strerror(e.err ? e.err : closeErr));
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // No event loop runs here, so Qt's application object is left out (making it costs a
    // millisecond or two of every start); the user's locale, which it would set, is set here, for
    // the system's messages.
    std::setlocale(LC_ALL, "");
    // The arguments are taken as bytes: a file name that is not valid UTF-8 must reach the
    // files it names unchanged.
    QStringList args;
    for (int i = 1; i < argc; ++i) args.append(nameFromNative(argv[i]));
    const cli::ParseResult parsed = cli::parseArguments(args);
    if (!parsed.options)
        return usageError(parsed.error);
    Views v;
    v.o = *parsed.options;
    if (v.o.help) {
        std::fputs(qPrintable(cli::usageText()), stdout);
        return 0;
    }
    if (v.o.version) {
        std::printf("varnobis-cli %s\n", VARNOBIS_VERSION);
        return 0;
    }

    cli::ConsoleServices ws;
    cli::ConsoleServices::installStopSignals();
    // A report read through a pipe that closes early gives EPIPE, which the report handles; the
    // signal would end the run between two files without a word.
    std::signal(SIGPIPE, SIG_IGN);
    ws.setShowProgress(!v.o.quiet && !v.o.filter && ::isatty(STDERR_FILENO));

    if (!v.o.filter && !v.o.inPlace && !IsFolder(v.o.outDir)) {
        std::fprintf(stderr, "varnobis-cli: %s: the --out-dir folder does not exist\n",
                     ws.shown(v.o.outDir).constData());
        return 1;
    }

    // Standard input, as data or as keywords, and a filter's result live here until the end.
    std::optional<QTemporaryDir> work;
    const bool stdinKeywords = v.o.keywordFiles.contains(QStringLiteral("-"));
    if (v.o.filter || stdinKeywords) {
        work.emplace();
        if (!work->isValid()) {
            std::fprintf(stderr, "varnobis-cli: cannot make a temporary folder: %s\n",
                         qPrintable(work->errorString()));
            return 1;
        }
    }

    v.keywordList = v.o.keywords;
    for (QString f : v.o.keywordFiles) {
        if (f == QLatin1String("-")) {
            f = work->filePath(QStringLiteral("keywords"));
            ws.setAlias(f, kStdinName);
            if (!spoolStandardInput(f))
                return 1;
        }
        const int before = ws.failureCount();
        bool ok = false;
        const textio::LineList lines = textio::ReadFileToStringLine(ws, f, &ok);
        if (!ok || ws.failureCount() != before) {
            std::fprintf(stderr, "varnobis-cli: %s: cannot read the keywords file\n",
                         ws.shown(f).constData());
            return 1;
        }
        // As in the window, a keyword that is empty after trimming is never added.
        for (const QString& k : lines)
            if (!k.trimmed().isEmpty())
                v.keywordList.append(k);
    }

    QStringList files;
    QString filterResult;
    if (v.o.filter) {
        // The input becomes one file of a run that saves into a private folder; the result is
        // then copied to standard output.
        const QString input = work->filePath(QStringLiteral("input"));
        ws.setAlias(input, kStdinName);
        if (!spoolStandardInput(input))
            return 1;
        v.outputFolderPath = work->filePath(QStringLiteral("result"));
        if (!QDir().mkdir(v.outputFolderPath)) {
            std::fprintf(stderr, "varnobis-cli: cannot make a temporary folder in %s\n",
                         ws.shown(work->path()).constData());
            return 1;
        }
        filterResult = v.outputFolderPath + QStringLiteral("/input.txt");
        ws.setAlias(filterResult, QStringLiteral("(standard output)"));
        files.append(input);
    } else {
        for (const QString& p : v.o.paths) {
            if (IsFolder(p)) {
                for (const QString& ext : v.o.exts)
                    files += cli::filesInFolder(ws, p, ext, v.o.hidden);
            } else {
                files.append(p);
            }
        }
        if (files.isEmpty()) {
            std::fprintf(stderr, "varnobis-cli: no files found\n");
            return 1;
        }
        // The run checks its output folder whichever save option is chosen; in place, the
        // current folder stands in for it.
        v.outputFolderPath = v.o.inPlace ? QDir::currentPath() : v.o.outDir;
    }

    // Standard output carries a filter's result, so its report goes to standard error, and only
    // when asked for by a dry run.
    std::FILE* reportTo = v.o.quiet     ? nullptr
                          : !v.o.filter ? stdout
                          : v.o.dryRun  ? stderr
                                        : nullptr;
    FileListAdapter list(files);
    Reporter reporter(ws, reportTo);
    run::RunHost host{ws, v, v, list, v, v, v, &reporter};
    host.dryRun = v.o.dryRun;
    run::startRemoving(host);
    ws.clearProgressLine();
    if (ws.quitRequested()) {
        if (!reporter.reportLost)
            std::fprintf(stderr, "varnobis-cli: stopped; %s\n",
                         reporter.lastStopped ? "the file in progress was left as it was"
                                              : "the files not yet reached were left as they were");
        return 1;
    }
    reporter.printTotals(v.o.dryRun);
    const bool failed = reporter.totals.failed > 0 || ws.failureCount() > 0;

    if (v.o.filter && !failed && !v.o.dryRun && reporter.last) {
        if (!reporter.last->skipped.isEmpty()) {
            std::fprintf(stderr, "varnobis-cli: %s: not written: %s\n", qPrintable(kStdinName),
                         reporter.last->skipped.toLocal8Bit().constData());
            return 0;
        }
        const int fd = ::open(nativeName(filterResult).constData(), O_RDONLY | O_CLOEXEC);
        const CopyError e = fd < 0 ? CopyError{errno, true} : copyAll(fd, STDOUT_FILENO);
        if (fd >= 0)
            ::close(fd);
        if (e.err) {
            std::fprintf(stderr, "varnobis-cli: %s: %s: %s\n",
                         e.reading ? ws.shown(filterResult).constData() : "(standard output)",
                         e.reading ? "cannot read the result" : "cannot write the result",
                         std::strerror(e.err));
            return 1;
        }
    }
    return failed ? 1 : 0;
}
