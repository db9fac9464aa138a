#include "run/RunDriver.h"

#include "core/ErrorLocations.h"
#include "core/ErrorReport.h"
#include "core/NativeName.h"
#include "filelist/PathTests.h"
#include "platform/FileAccess.h"

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

// The size the search modes go by: they pass over an input without content. One that is not
// there (or is a folder, which has no content of its own) is passed over quietly; one that is
// there but cannot be opened throws the reason, for the caller's step to report.
std::int64_t sizeForSearch(const QString& path) {
    const std::int64_t size = FileSize2(path);
    if (size >= 0)
        return size;
    struct stat st {};
    if (::stat(nativeName(path).constData(), &st) != 0 || S_ISDIR(st.st_mode))
        return -1;
    unsigned char none[1];
    readFileHead(path, none, 0);
    return -1;
}

engine::FileResult dispatchSearch(engine::Host& eh, bool notContaining, const QString& input,
                                  const QString& searchText, const QString& output,
                                  bool ignoreCase) {
    return notContaining ? engine::RemoveNotContaining(eh, input, searchText, output, ignoreCase)
                         : engine::RemoveContaining(eh, input, searchText, output, ignoreCase);
}

// A file as the system knows it: the same pair whatever path, link or spelling reached it.
using FileId = std::pair<quint64, quint64>;

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
    // counts, which can only refuse a write, never allow one.
    void noteEntries(const FileListView& files, int count) {
        for (int i = 1; i <= count; ++i) {
            const QString path = files.text(i);
            if (const auto id = identityOf(path))
                m_entries.insert(*id, path);
        }
    }

    // Why the file must not be handed to the engine; nullopt when it may. `in` receives the
    // input's identity, for noteHandled.
    std::optional<SkipReason> refusal(const QString& input, const QString& output,
                                      std::optional<FileId>& in) const {
        in = identityOf(input);
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
        const QString other =
            m_entries.contains(*out) ? m_entries.value(*out) : m_handled.value(*out);
        if (other.isEmpty())
            return std::nullopt;
        return SkipReason{SkipReason::OutputIsAnotherInput, other,
                          QStringLiteral("not written: its result would replace %1, another "
                                         "input of this run")
                              .arg(shown(other))};
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
    QHash<FileId, QString> m_entries;  // each entry at the start of the run, by its file
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
    for (int i = 1; i <= n; ++i) {
        if (ws.quitRequested())
            break;
        // Entries removed while the run yielded are gone: never process one that no longer
        // exists.
        if (i > h.files.count()) {
            if (h.observer)
                h.observer->fileSkipped(i, QString(), SkipReason{});
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
        if (g.test(132, [&] { return h.options.saveToFolder(); })) {
            g.step(134, [&] {
                outputPath =
                    CleanPath(h.options.outputFolder() + h.separator + outName, h.separator);
            });
        } else {
            g.step(136, [&] { outputPath = CleanPath(input, h.separator); });
        }
        if (g.test(138, [&] { return input.isEmpty(); })) {
            if (h.observer)
                h.observer->fileSkipped(i, input, SkipReason{});
            continue;
        }
        g.step(140, [&] { ws.setPointer(Pointer::Hourglass); });

        const RemoveMode mode = [&] {
            RemoveMode m = NoMode;
            g.step(142, [&] { m = h.options.mode(); });
            return m;
        }();
        bool called = false;
        engine::FileResult result;
        SkipReason refused;
        std::optional<FileId> inputBefore;
        // Asked just before the engine would be called, so that the prompts of the first entry
        // come whatever happens to it.
        auto startFile = [&] {
            if (auto r = ledger.refusal(input, outputPath, inputBefore)) {
                refused = std::move(*r);
                return false;
            }
            called = true;
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
            if (!g.step(base + 4, [&] { skip = searchText.isEmpty() || sizeForSearch(input) < 1; }))
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
        if (called)
            ledger.noteHandled(input, inputBefore, outputPath,
                               result.read && result.skipped.isEmpty() && !result.stopped);
        if (h.observer) {
            if (called)
                h.observer->fileFinished(i, input, outputPath, result);
            else
                h.observer->fileSkipped(i, input, refused);
        }
    }
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
