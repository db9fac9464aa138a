// varnobis-cli: the run driver and the engine of the window, behind a command line.

#include "cli/CliOptions.h"
#include "cli/ConsoleServices.h"
#include "cli/FolderInput.h"
#include "filelist/PathTests.h"
#include "core/Failure.h"
#include "platform/FileAccess.h"
#include "core/NativeName.h"
#include "run/RunDriver.h"
#include "textio/TextFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QHash>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

using namespace vn;

namespace {

// A path as the report shows it: bytes that are not valid UTF-8 escaped, so every line of the
// report is text and still says which file is meant.
QByteArray shown(const QString& path) {
    return displayName(QDir::toNativeSeparators(path)).toLocal8Bit();
}

struct Views : LineOptionView, KeywordListView, run::RunOptionsView, SettingsView {
    cli::CliOptions o;
    QStringList keywordList;
    QString folderForTest;
    QHash<QString, QString> memory;

    bool leaveBlankLine() const override { return o.leaveBlank; }
    int count() const override { return int(keywordList.size()); }
    QString text(int k) const override { return keywordList.value(k - 1); }
    int mode() const override { return o.mode; }
    bool ignoreCase() const override { return o.ignoreCase; }
    bool saveToFolder() const override { return !o.inPlace; }
    QString outputFolder() const override { return folderForTest; }
    QString read(const QString& key, const QString& def) override { return memory.value(key, def); }
    void write(const QString& key, const QString& value) override { memory[key] = value; }
};

struct FileListAdapter : run::FileListView {
    const QStringList& files;
    explicit FileListAdapter(const QStringList& f) : files(f) {}
    int count() const override { return int(files.size()); }
    QString text(int i) const override { return files.value(i - 1); }
};

struct Reporter : run::RunObserver {
    cli::ConsoleServices& ws;
    bool quiet;
    int failed = 0;
    int before = 0;
    bool lastStopped = false;  // the file worked on when the stop came was left as it was
    bool reportLost = false;
    Reporter(cli::ConsoleServices& s, bool q) : ws(s), quiet(q) {}
    void fileStarted(int, const QString&, const QString&) override { before = ws.failureCount(); }
    void fileFinished(int, const QString& input, const QString& output,
                      const engine::FileResult& r) override {
        lastStopped = r.stopped;
        const bool ok = r.read && !r.stopped && ws.failureCount() == before;
        if (!ok && !r.stopped) ++failed;
        if (ok && !r.skipped.isEmpty()) {
            // Left alone on purpose (a binary file): said, but not a failure.
            if (quiet) return;
            ws.clearProgressLine();
            print("%s\t0\t0\tskipped (%s)\n", shown(input).constData(),
                  r.skipped.toLocal8Bit().constData());
            return;
        }
        if (quiet) return;
        ws.clearProgressLine();
        // A stopped file gets no output path: that column says the file was written.
        const char* last = r.stopped ? "STOPPED" : ok ? nullptr : "FAILED";
        print("%s\t%lld\t%lld\t%s\n", shown(input).constData(),
              static_cast<long long>(r.linesRead), static_cast<long long>(r.linesRemoved),
              last ? last : shown(output).constData());
    }
    void fileSkipped(int, const QString& input, const run::SkipReason& reason) override {
        if (input.isEmpty()) return;
        if (reason.kind != run::SkipReason::Quiet) {
            // A result that would have replaced another is a failure; a file met again under
            // another path was processed once, as asked.
            if (reason.isFailure()) ++failed;
            if (quiet && !reason.isFailure()) return;
            ws.clearProgressLine();
            if (quiet) {
                std::fprintf(stderr, "%s\t0\t0\tskipped (%s)\n", shown(input).constData(),
                             reason.text.toLocal8Bit().constData());
                std::fflush(stderr);
            } else {
                print("%s\t0\t0\tskipped (%s)\n", shown(input).constData(),
                      reason.text.toLocal8Bit().constData());
            }
            return;
        }
        // The search modes pass over a file whose size is below 1 as if it were empty; the
        // window says nothing then. A file that exists but cannot be opened is not empty, and a
        // script must learn that it was not processed, and why.
        QString why;
        try {
            unsigned char none[1];
            readFileHead(input, none, 0);
        } catch (const Failure& e) {
            why = e.description();
        }
        ws.clearProgressLine();
        if (!why.isEmpty()) {
            ++failed;
            std::fprintf(stderr, "varnobis-cli: %s\n", why.toLocal8Bit().constData());
            std::fflush(stderr);
        }
        if (quiet) return;
        print("%s\t0\t0\t%s\n", shown(input).constData(),
              why.isEmpty() ? "skipped (empty file)" : "FAILED");
    }

    // Writes a report line. When standard output is gone (a closed pipe), the run is stopped
    // cleanly rather than carried on with nobody to learn what it did.
    template <class... A>
    void print(const char* format, A... args) {
        if (reportLost) return;
        std::printf(format, args...);
        if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return;
        const int err = errno;
        reportLost = true;
        std::fprintf(stderr, "varnobis-cli: cannot write the report: %s; stopping\n",
                     std::strerror(err));
        std::fflush(stderr);
        cli::ConsoleServices::requestStop();
    }
};

int usageError(const QString& message) {
    std::fprintf(stderr, "varnobis-cli: %s\nTry 'varnobis-cli --help' for more information.\n",
                 qPrintable(message));
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // The arguments are taken as bytes: a file name that is not valid UTF-8 must reach the
    // files it names unchanged.
    QStringList args;
    for (int i = 1; i < argc; ++i) args.append(nameFromNative(argv[i]));
    const cli::ParseResult parsed = cli::parseArguments(args);
    if (!parsed.options) return usageError(parsed.error);
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
    ws.setShowProgress(!v.o.quiet && ::isatty(STDERR_FILENO));

    if (!v.o.inPlace && !IsFolder(v.o.outDir)) {
        std::fprintf(stderr, "varnobis-cli: --out-dir: folder does not exist: %s\n",
                     shown(v.o.outDir).constData());
        return 1;
    }
    // The run checks its output folder whichever save option is chosen; in place, the current
    // folder stands in for it.
    v.folderForTest = v.o.inPlace ? QDir::currentPath() : v.o.outDir;

    int failed = 0;
    v.keywordList = v.o.keywords;
    for (const QString& f : v.o.keywordFiles) {
        const int before = ws.failureCount();
        bool ok = false;
        const textio::LineList lines = textio::ReadFileToStringLine(ws, f, &ok);
        if (!ok || ws.failureCount() != before) {
            std::fprintf(stderr, "varnobis-cli: cannot read the keywords file %s\n",
                         shown(f).constData());
            return 1;
        }
        // As in the window, a keyword that is empty after trimming is never added.
        for (const QString& k : lines)
            if (!k.trimmed().isEmpty()) v.keywordList.append(k);
    }

    QStringList files;
    for (const QString& p : v.o.paths) {
        if (IsFolder(p)) {
            for (const QString& ext : v.o.exts) files += cli::filesInFolder(ws, p, ext);
        } else {
            files.append(p);
        }
    }
    if (files.isEmpty()) {
        std::fprintf(stderr, "varnobis-cli: no files found\n");
        return 1;
    }
    if (v.o.mode == run::Containing || v.o.mode == run::NotContaining) ws.setAnswer(QStringLiteral("Enter x:"), v.o.text);
    if (v.o.mode == run::LineNumbers)
        ws.setAnswer(QStringLiteral("Enter line numbers to remove separated by commas:"), v.o.lines);

    FileListAdapter list(files);
    Reporter reporter(ws, v.o.quiet);
    run::RunHost host{ws, v, v, list, v, v, &reporter};
    ws.setDoneIsSilent(true);
    run::PushButton2_Click(host);
    ws.clearProgressLine();
    failed += reporter.failed;
    if (ws.quitRequested()) {
        if (!reporter.reportLost)
            std::fprintf(stderr, "varnobis-cli: stopped; %s\n",
                         reporter.lastStopped
                             ? "the file in progress was left as it was"
                             : "the files not yet reached were left as they were");
        return 1;
    }
    return failed > 0 ? 1 : 0;
}
