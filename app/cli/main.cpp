// varnobis-cli: the run driver and the engine of the window, behind a command line.

#include "app/cli/CliOptions.h"
#include "app/cli/ConsoleServices.h"
#include "app/cli/FolderInput.h"
#include "run/RunDriver.h"
#include "textio/TextFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QHash>

#include <cstdio>
#include <unistd.h>

using namespace vn;

namespace {

struct Views : LineOptionView, KeywordListView, run::RunOptionsView,
               run::RunSettings {
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
    Reporter(cli::ConsoleServices& s, bool q) : ws(s), quiet(q) {}
    void fileStarted(int, const QString&, const QString&) override { before = ws.failureCount(); }
    void fileFinished(int, const QString& input, const QString& output,
                      const engine::FileResult& r) override {
        const bool ok = r.read && ws.failureCount() == before;
        if (!ok) ++failed;
        if (ok && !r.skipped.isEmpty()) {
            // Left alone on purpose (a binary file): said, but not a failure.
            if (quiet) return;
            ws.clearProgressLine();
            std::printf("%s\t0\t0\tskipped (%s)\n", qPrintable(QDir::toNativeSeparators(input)),
                        qPrintable(r.skipped));
            std::fflush(stdout);
            return;
        }
        if (quiet) return;
        ws.clearProgressLine();
        std::printf("%s\t%lld\t%lld\t%s\n", qPrintable(QDir::toNativeSeparators(input)),
                    static_cast<long long>(r.linesRead), static_cast<long long>(r.linesRemoved),
                    ok ? qPrintable(QDir::toNativeSeparators(output)) : "FAILED");
        std::fflush(stdout);
    }
    void fileSkipped(int, const QString& input, const run::SkipReason& reason) override {
        if (input.isEmpty()) return;
        if (reason.kind != run::SkipReason::Quiet) {
            // A result that would have replaced another is a failure; a file met again under
            // another path was processed once, as asked.
            if (reason.isFailure()) ++failed;
            if (quiet && !reason.isFailure()) return;
            ws.clearProgressLine();
            std::FILE* to = quiet ? stderr : stdout;
            std::fprintf(to, "%s\t0\t0\tskipped (%s)\n",
                         qPrintable(QDir::toNativeSeparators(input)), qPrintable(reason.text));
            std::fflush(to);
            return;
        }
        // The search modes pass over a file whose size cannot be had as if it were empty. The
        // window says nothing then; a script must learn that this file was not processed.
        const bool missing = !QFileInfo(input).isFile();
        ws.clearProgressLine();
        if (missing) {
            ++failed;
            std::fprintf(stderr, "varnobis-cli: cannot read %s\n",
                         qPrintable(QDir::toNativeSeparators(input)));
            std::fflush(stderr);
        }
        if (quiet) return;
        std::printf("%s\t0\t0\t%s\n", qPrintable(QDir::toNativeSeparators(input)),
                    missing ? "FAILED" : "skipped (empty file)");
        std::fflush(stdout);
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
    QStringList args = QCoreApplication::arguments();
    args.removeFirst();
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
    ws.setShowProgress(!v.o.quiet && ::isatty(STDERR_FILENO));

    if (!v.o.inPlace && !QFileInfo(v.o.outDir).isDir()) {
        std::fprintf(stderr, "varnobis-cli: --out-dir: folder does not exist: %s\n",
                     qPrintable(QDir::toNativeSeparators(v.o.outDir)));
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
                         qPrintable(QDir::toNativeSeparators(f)));
            return 1;
        }
        // As in the window, a keyword that is empty after trimming is never added.
        for (const QString& k : lines)
            if (!k.trimmed().isEmpty()) v.keywordList.append(k);
    }

    QStringList files;
    for (const QString& p : v.o.paths) {
        if (QFileInfo(p).isDir()) {
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
        std::fprintf(stderr, "varnobis-cli: stopped; the file in progress was left as it was\n");
        return 1;
    }
    return failed > 0 ? 1 : 0;
}
