#include "run/RunDriver.h"

#include "core/ErrorLocations.h"
#include "core/ErrorReport.h"
#include "core/NativeName.h"
#include "filelist/PathTests.h"
#include "platform/FileAccess.h"
#include "textio/TextFile.h"

#include <QFile>
#include <QHash>
#include <QScopeGuard>

#include <optional>
#include <utility>

#include <sys/stat.h>

namespace vn::run {

QString FileNameFromPath(const QString& path, QChar separator) {
    const qsizetype at = path.lastIndexOf(separator);
    return at < 0 ? path : path.mid(at + 1);
}

std::int64_t FileSize2(const QString& path) {
    return fileSizeOrMinusOne(path);
}

QString outputName(const QString& name) {
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return (dot < 0 ? name : name.left(dot)) + QStringLiteral(".txt");
}

namespace {

// A file as the system knows it: the same pair whatever path, link or spelling reached it.
using FileId = std::pair<quint64, quint64>;

// The size the search modes go by: they pass over an input without content. One that is not
// there (or is a folder, which has no content of its own) is passed over quietly; one that is
// there but cannot be opened throws the reason, for the caller's step to report. The look at the
// file also gives its identity (`id`), so that the run need not look again. The input is opened
// only by the engine, once.
std::int64_t sizeForSearch(const QString& path, std::optional<FileId>& id) {
    id.reset();
    const PathFacts facts = lookAt(path);
    if (!facts.exists || facts.folder)
        return -1;
    id = FileId{quint64(facts.device), quint64(facts.inode)};
    if (facts.readableFile)
        return facts.size;
    // Opening it tells why it cannot be read (or, should it have become readable meanwhile,
    // its size after all).
    unsigned char none[1];
    return readFileHead(path, none, 0);
}

engine::FileResult dispatchSearch(engine::Host& eh, bool notContaining, const QString& input,
                                  const QString& searchText, const QString& output,
                                  bool ignoreCase) {
    return notContaining ? engine::RemoveNotContaining(eh, input, searchText, output, ignoreCase)
                         : engine::RemoveContaining(eh, input, searchText, output, ignoreCase);
}

std::optional<FileId> identityOf(const QString& path) {
    if (path.isEmpty())
        return std::nullopt;
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return std::nullopt;
    return FileId{quint64(st.st_dev), quint64(st.st_ino)};
}

QString shown(const QString& path) {
    return QDir::toNativeSeparators(path);
}

// What this run has done so far, by file identity, so that no result of the run is written over
// another and no file is worked on twice. Identities are taken afresh when a file is checked:
// replacing a file gives it a new inode, so an entry processed in place is remembered under both.
class RunLedger {
public:
    // The entries as they stand when the run starts. An entry removed during the run still
    // counts, which can only refuse a write, never allow one. Their files are looked at only
    // when a result bound for another path than its input's is first checked (see entryFiles()):
    // a run that writes in place never needs them, and is spared a look at every file.
    void noteEntries(const FileListView& files, int count) {
        m_entryPaths.reserve(count);
        for (int i = 1; i <= count; ++i) m_entryPaths.push_back(files.text(i));
    }

    // Why the file must not be handed to the engine; nullopt when it may. `in` receives the
    // input's identity, for noteHandled; `known` is that identity when the caller has just
    // taken it.
    std::optional<SkipReason> refusal(const QString& input, const QString& output,
                                      std::optional<FileId>& in,
                                      const std::optional<FileId>& known = std::nullopt) {
        in = known ? known : identityOf(input);
        if (in && m_handled.contains(*in)) {
            const QString other = m_handled.value(*in);
            return SkipReason{SkipReason::SameFileAgain, other,
                              QStringLiteral("the same file as %1, which this run has already "
                                             "processed")
                                  .arg(shown(other))};
        }
        // In place, the output is the input's very path: one look at the file serves both.
        const auto out = output == input ? in : identityOf(output);
        if (!out)
            return std::nullopt;
        if (m_written.contains(*out)) {
            const QString other = m_written.value(*out);
            return SkipReason{SkipReason::OutputTaken, other,
                              QStringLiteral("not written: this run already wrote %1 from %2")
                                  .arg(shown(output), shown(other))};
        }
        // An output that is the input itself acts in place: that is the one overlap allowed.
        if (in && *out == *in)
            return std::nullopt;
        const QHash<FileId, QString>& entries = entryFiles();
        const QString other = entries.contains(*out) ? entries.value(*out) : m_handled.value(*out);
        if (other.isEmpty())
            return std::nullopt;
        return SkipReason{SkipReason::OutputIsAnotherInput, other,
                          QStringLiteral("not written: its result would replace %1, another "
                                         "input of this run")
                              .arg(shown(other))};
    }

    // An input whose output waits in the batch: until it is in place only the identity the
    // input had is known, and that already keeps a later entry from reaching the same file.
    void noteHandedOver(const QString& input, std::optional<FileId> before) {
        if (before)
            m_handled.insert(*before, input);
    }

    void noteHandled(const QString& input, std::optional<FileId> before, const QString& output,
                     bool wrote) {
        if (before)
            m_handled.insert(*before, input);
        const auto now = identityOf(input);
        if (now)
            m_handled.insert(*now, input);
        if (!wrote)
            return;
        if (const auto out = output == input ? now : identityOf(output))
            m_written.insert(*out, input);
    }

private:
    // The entries' files, looked at once, when first wanted. An entry worked on in place before
    // that is known by both its identities in m_handled already.
    const QHash<FileId, QString>& entryFiles() {
        for (const QString& path : std::exchange(m_entryPaths, {})) {
            if (const auto id = identityOf(path))
                m_entries.insert(*id, path);
        }
        return m_entries;
    }

    QStringList m_entryPaths;          // the entries at the start of the run, not yet looked at
    QHash<FileId, QString> m_entries;  // each entry's file, by its identity
    QHash<FileId, QString> m_handled;  // inputs handed to the engine
    QHash<FileId, QString> m_written;  // results written, with the input they came from
};

}  // namespace

void SkippedFilesReport::fileFinished(int, const QString& input, const QString&,
                                      const engine::FileResult& result) {
    if (!result.skipped.isEmpty())
        m_lines.append(shown(input) + QStringLiteral(": ") + result.skipped);
}

QString InputBoxPrompts::searchText() {
    return m_ws.inputBox(QStringLiteral("Enter x:"), QString(), QString());
}

QString InputBoxPrompts::lineNumberList(const QString& stored) {
    return m_ws.inputBox(QStringLiteral("Enter line numbers to remove separated by commas:"),
                         QString(), stored);
}

void SkippedFilesReport::fileSkipped(int, const QString& input, const SkipReason& reason) {
    // An unreadable input has had its own message already.
    if (reason.kind != SkipReason::Quiet && reason.kind != SkipReason::Unreadable)
        m_lines.append(shown(input) + QStringLiteral(": ") + reason.text);
}

QString SkippedFilesReport::message() const {
    if (m_lines.isEmpty())
        return QString();
    QString text = QStringLiteral("Nothing was written for these files:\r");
    for (int k = 0; k < m_lines.size() && k < kListed; ++k) text += QLatin1Char('\r') + m_lines[k];
    if (m_lines.size() > kListed)
        text += QStringLiteral("\rand %1 more").arg(m_lines.size() - kListed);
    return text;
}

void SkippedFilesReport::runEnding() {
    if (m_lines.isEmpty())
        return;
    m_ws.messageBox(message(), Buttons::Ok, Icon::Warning);
    m_lines.clear();
}

void SkippedFilesReport::runFinished() {
    m_ws.messageBox(QStringLiteral("Done."));
}

void startRemoving(RunHost& h) {
    WindowServices& ws = h.ws;
    // A second press while a run (or any long operation) is under way would walk the same list
    // twice with half its answers. The hourglass says one is in progress, but it shows only once
    // the first file is being worked on, so the run also keeps its own flag.
    static bool running = false;
    if (running || ws.isBusy())
        return;
    running = true;
    const auto done = qScopeGuard([] { running = false; });

    Guard g(ws, loc::PushButton2_Click);
    engine::Host eh{ws, h.option1, h.dryRun};

    if (g.test(100, [&] { return h.files.count() == 0; })) {
        g.step(216, [&] { ws.messageBox(QStringLiteral("No files added.")); });
        return;
    }
    if (g.test(102, [&] { return !IsFolder(h.options.outputFolder()); })) {
        g.step(214, [&] {
            ws.messageBox(QStringLiteral("Folder does not exist. Please select another folder."));
        });
        return;
    }

    QString searchText;
    QString lineNumberList;
    int n = 0;
    g.step(104, [&] { n = h.files.count(); });
    RunLedger ledger;
    ledger.noteEntries(h.files, n);

    // In place, finished outputs wait in a batch and are put in place together, so that one
    // wait for the disk serves many files (see textio::CommitBatch). The observer hears of an
    // entry only once what was done for it is final, and hears of the entries in their order;
    // so while outputs wait, what it is to be told waits with them. The batch is flushed when
    // it is full, after the last entry, and when the run is stopped or the window closes (what
    // a stop keeps: see settle). The window shows no file as done before the end of the run
    // (its bars follow the entry being worked on, its report comes at the end), so nothing it
    // shows runs ahead of the disk, and a flush holds it up for one sync and a few dozen
    // renames at most.
    //
    // Outputs saved to another folder are put in place one at a time: the ledger knows whether
    // such an output is already taken only once the file exists.
    textio::CommitBatch batch(ws);
    struct Told {
        int position = 0;
        QString input, output;
        bool finished = false;  // fileFinished with `result`, else fileSkipped with `reason`
        engine::FileResult result;
        SkipReason reason;
        bool waiting = false;  // its output is in the batch
        std::optional<FileId> before;
        bool wrote = false;
    };
    std::vector<Told> told;
    // Puts the waiting outputs in place and tells the observer, in order, about every entry
    // held back. A stop that comes while this goes on (a report nobody reads any more, a signal)
    // is honoured between two files, as it would have been had each been put in place as soon
    // as it was finished: the outputs not yet in place are dropped and told as stopped. A stop
    // that came before, while an entry was worked on, keeps every output finished before it.
    auto settle = [&] {
        const bool stoppedBefore = ws.quitRequested();
        std::vector<std::size_t> waitingAt;
        for (std::size_t t = 0; t < told.size(); ++t)
            if (told[t].waiting)
                waitingAt.push_back(t);
        std::size_t next = 0;
        auto tellUpTo = [&](std::size_t end) {
            for (; next < end; ++next) {
                const Told& t = told[next];
                if (!h.observer)
                    continue;
                if (t.finished)
                    h.observer->fileFinished(t.position, t.input, t.output, t.result);
                else
                    h.observer->fileSkipped(t.position, t.input, t.reason);
            }
        };
        const auto outcomes = batch.flush(
            [&](std::size_t k) {
                tellUpTo(waitingAt[k]);
                return stoppedBefore || !ws.quitRequested();
            },
            [&](std::size_t k, bool placed) {
                Told& t = told[waitingAt[k]];
                if (!placed)
                    t.result.failed = true;
                ledger.noteHandled(t.input, t.before, t.output, t.wrote);
                tellUpTo(waitingAt[k] + 1);
            });
        for (std::size_t k = 0; k < outcomes.size(); ++k)
            if (outcomes[k] == textio::CommitBatch::Outcome::Dropped)
                told[waitingAt[k]].result.stopped = true;
        tellUpTo(told.size());
        told.clear();
    };
    auto skipped = [&](int i, const QString& input, SkipReason reason) {
        Told t;
        t.position = i;
        t.input = input;
        t.finished = false;
        t.reason = std::move(reason);
        told.push_back(std::move(t));
        if (batch.empty())
            settle();
    };

    for (int i = 1; i <= n; ++i) {
        if (ws.quitRequested())
            break;
        // Entries removed while the run yielded are gone: never process one that no longer
        // exists.
        if (i > h.files.count()) {
            skipped(i, QString(), SkipReason{});
            continue;
        }
        QString input, name, outName, outputPath;
        g.step(106, [&] { input = h.files.text(i); });
        g.step(108, [&] {
            const int c = h.files.count();
            ws.setProgress(Bar::Overall, double(i) / double(c) * 100.0);
        });
        g.step(110, [&] {
            ws.setProgressText(Bar::Overall, QStringLiteral("Processing: ") +
                                                 FileNameFromPath(input, h.separator));
        });
        g.step(112, [&] { ws.yield(); });
        if (ws.quitRequested())
            break;
        g.step(114, [&] { ws.setPointer(Pointer::Hourglass); });
        g.step(118, [&] { name = FileNameFromPath(input, h.separator); });
        g.step(130, [&] { outName = outputName(name); });
        const bool toFolder = g.test(132, [&] { return h.options.saveToFolder(); });
        if (toFolder) {
            g.step(134, [&] {
                outputPath =
                    CleanPath(h.options.outputFolder() + h.separator + outName, h.separator);
            });
        } else {
            g.step(136, [&] { outputPath = CleanPath(input, h.separator); });
        }
        if (g.test(138, [&] { return input.isEmpty(); })) {
            skipped(i, input, SkipReason{});
            continue;
        }
        eh.batch = toFolder || h.dryRun ? nullptr : &batch;
        const std::size_t waitingBefore = batch.size();
        g.step(140, [&] { ws.setPointer(Pointer::Hourglass); });

        const RemoveMode mode = [&] {
            RemoveMode m = NoMode;
            g.step(142, [&] { m = h.options.mode(); });
            return m;
        }();
        bool called = false;
        engine::FileResult result;
        SkipReason refused;
        std::optional<FileId> inputBefore, inputSeen;
        int failuresBefore = 0;
        // Asked just before the engine would be called, so that the prompts of the first entry
        // come whatever happens to it.
        auto startFile = [&] {
            if (auto r = ledger.refusal(input, outputPath, inputBefore, inputSeen)) {
                refused = std::move(*r);
                return false;
            }
            called = true;
            failuresBefore = ws.failuresReported();
            if (h.observer)
                h.observer->fileStarted(i, input, outputPath);
            return true;
        };

        if (mode == BlankLines) {
            g.step(144, [&] {
                if (startFile())
                    result = engine::RemoveAllBlankLinesWrapper(eh, input, outputPath);
            });
        } else if (mode == Containing || mode == NotContaining) {
            const int base = mode == Containing ? 146 : 158;
            if (i == 1) {
                g.step(base + 2, [&] { searchText = h.prompts.searchText(); });
            }
            bool skip = true;
            if (!g.step(base + 4, [&] {
                    skip = searchText.isEmpty() || sizeForSearch(input, inputSeen) < 1;
                }))
                refused = SkipReason{SkipReason::Unreadable, QString(), QString()};
            if (!skip) {
                const bool ic = g.test(base + 6, [&] { return h.options.ignoreCase(); });
                g.step(ic ? base + 8 : base + 10, [&] {
                    if (!startFile())
                        return;
                    result = dispatchSearch(eh, mode == NotContaining, input, searchText,
                                            outputPath, ic);
                });
            }
        } else if (mode == ContainingKeywords || mode == NotContainingKeywords) {
            const int base = mode == ContainingKeywords ? 170 : 178;
            const bool ic = g.test(base + 2, [&] { return h.options.ignoreCase(); });
            g.step(ic ? base + 4 : base + 6, [&] {
                if (!startFile())
                    return;
                result = mode == ContainingKeywords ? engine::RemoveContainingListview(
                                                          eh, input, h.keywords, outputPath, ic)
                                                    : engine::RemoveNotContainingListview(
                                                          eh, input, h.keywords, outputPath, ic);
            });
        } else if (mode == LineNumbers) {
            if (g.test(188, [&] { return i == 1; })) {
                g.step(190, [&] {
                    lineNumberList = h.prompts.lineNumberList(h.settings.value(setting::InputBox));
                });
                g.step(192, [&] { h.settings.setValue(setting::InputBox, lineNumberList); });
            }
            if (!g.test(194, [&] { return lineNumberList.isEmpty(); })) {
                g.step(196, [&] {
                    if (startFile())
                        result = engine::RemoveN1(eh, input, lineNumberList, outputPath);
                });
            }
        } else {
            g.step(198, [&] { ws.messageBox(QStringLiteral("ListIndex Error")); });
        }
        if (!called) {
            skipped(i, input, std::move(refused));
            continue;
        }
        if (ws.failuresReported() != failuresBefore)
            result.failed = true;
        const bool wrote = result.read && result.skipped.isEmpty() && !result.stopped;
        const bool waiting = batch.size() > waitingBefore;
        if (waiting)
            ledger.noteHandedOver(input, inputBefore);
        else
            ledger.noteHandled(input, inputBefore, outputPath, wrote);
        Told t;
        t.position = i;
        t.input = input;
        t.output = outputPath;
        t.finished = true;
        t.result = result;
        t.waiting = waiting;
        t.before = inputBefore;
        t.wrote = wrote;
        told.push_back(std::move(t));
        if (batch.empty() || batch.full())
            settle();
    }
    settle();
    if (ws.quitRequested())
        return;

    g.step(202, [&] { ws.setPointer(Pointer::Arrow); });
    g.step(204, [&] {
        ws.setProgress(Bar::Overall, 0);
        ws.setProgressText(Bar::Overall, QStringLiteral("Progress Bar"));
    });
    g.step(206, [&] { ws.setProgress(Bar::File, 0); });
    g.step(210, [&] { ws.setProgressText(Bar::File, QStringLiteral("Progress Bar")); });
    if (h.observer)
        h.observer->runEnding();
    g.step(212, [&] {
        if (h.observer)
            h.observer->runFinished();
    });
}

}  // namespace vn::run
