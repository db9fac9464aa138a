#include "run/RunDriver.h"

#include "app/shell/ErrorLocations.h"
#include "app/shell/ErrorReport.h"
#include "filelist/PathTests.h"
#include "platform/FileAccess.h"

#include <QScopeGuard>

namespace vn::run {

QString FileNameFromPath(const QString& path, QChar separator) {
    const qsizetype at = path.lastIndexOf(separator);
    return at < 0 ? path : path.mid(at + 1);
}

std::int64_t FileSize2(const QString& path) { return fileSizeOrMinusOne(path); }

QString outputName(const QString& name) {
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return (dot < 0 ? name : name.left(dot)) + QStringLiteral(".txt");
}

namespace {

const QString kInputBoxKey = QStringLiteral("InputBox");

engine::FileResult dispatchSearch(engine::Host& eh, bool notContaining, const QString& input,
                                  const QString& searchText, const QString& output,
                                  bool ignoreCase) {
    return notContaining
               ? engine::RemoveNotContaining(eh, input, searchText, output, ignoreCase)
               : engine::RemoveContaining(eh, input, searchText, output, ignoreCase);
}

}  // namespace

void PushButton2_Click(RunHost& h) {
    WindowServices& ws = h.ws;
    // A second press while a run (or any long operation) is under way would walk the same list
    // twice with half its answers. The hourglass says one is in progress, but it shows only once
    // the first file is being worked on, so the run also keeps its own flag.
    static bool running = false;
    if (running || ws.isBusy()) return;
    running = true;
    const auto done = qScopeGuard([] { running = false; });

    Guard g(ws, loc::PushButton2_Click);
    engine::Host eh{ws, h.option1};

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
    for (int i = 1; i <= n; ++i) {
        if (ws.quitRequested()) break;
        // Entries removed while the run yielded are gone: never process one that no longer
        // exists.
        if (i > h.files.count()) {
            if (h.observer) h.observer->fileSkipped(i, QString());
            continue;
        }
        QString input, name, outName, outputPath;
        g.step(106, [&] { input = h.files.text(i); });
        g.step(108, [&] {
            const int c = h.files.count();
            ws.setProgress(Bar::Overall, double(i) / double(c) * 100.0);
        });
        g.step(110, [&] {
            ws.setProgressText(Bar::Overall,
                               QStringLiteral("Processing: ") + FileNameFromPath(input, h.separator));
        });
        g.step(112, [&] { ws.yield(); });
        if (ws.quitRequested()) break;
        g.step(114, [&] { ws.setPointer(Pointer::Hourglass); });
        g.step(118, [&] { name = FileNameFromPath(input, h.separator); });
        g.step(130, [&] { outName = outputName(name); });
        if (g.test(132, [&] { return h.options.saveToFolder(); })) {
            g.step(134, [&] {
                outputPath = CleanPath(h.options.outputFolder() + h.separator + outName, h.separator);
            });
        } else {
            g.step(136, [&] { outputPath = CleanPath(input, h.separator); });
        }
        if (g.test(138, [&] { return input.isEmpty(); })) {
            if (h.observer) h.observer->fileSkipped(i, input);
            continue;
        }
        g.step(140, [&] { ws.setPointer(Pointer::Hourglass); });

        const int mode = [&] {
            int m = -1;
            g.step(142, [&] { m = h.options.mode(); });
            return m;
        }();
        bool called = false;
        engine::FileResult result;
        auto started = [&] {
            called = true;
            if (h.observer) h.observer->fileStarted(i, input, outputPath);
        };

        if (mode == BlankLines) {
            g.step(144, [&] {
                started();
                result = engine::RemoveAllBlankLinesWrapper(eh, input, outputPath);
            });
        } else if (mode == Containing || mode == NotContaining) {
            const int base = mode == Containing ? 146 : 158;
            if (i == 1) {
                g.step(base + 2, [&] {
                    searchText = ws.inputBox(QStringLiteral("Enter x:"), QString(), QString());
                });
            }
            bool skip = true;
            g.step(base + 4, [&] { skip = searchText.isEmpty() || FileSize2(input) < 1; });
            if (!skip) {
                const bool ic = g.test(base + 6, [&] { return h.options.ignoreCase(); });
                g.step(ic ? base + 8 : base + 10, [&] {
                    started();
                    result = dispatchSearch(eh, mode == NotContaining, input, searchText,
                                            outputPath, ic);
                });
            }
        } else if (mode == ContainingKeywords || mode == NotContainingKeywords) {
            const int base = mode == ContainingKeywords ? 170 : 178;
            const bool ic = g.test(base + 2, [&] { return h.options.ignoreCase(); });
            g.step(ic ? base + 4 : base + 6, [&] {
                started();
                result = mode == ContainingKeywords
                             ? engine::RemoveContainingListview(eh, input, h.keywords, outputPath, ic)
                             : engine::RemoveNotContainingListview(eh, input, h.keywords,
                                                                   outputPath, ic);
            });
        } else if (mode == LineNumbers) {
            if (g.test(188, [&] { return i == 1; })) {
                g.step(190, [&] {
                    lineNumberList = ws.inputBox(
                        QStringLiteral("Enter line numbers to remove separated by commas:"),
                        QString(), h.settings.read(kInputBoxKey, QStringLiteral("1,2,5")));
                });
                g.step(192, [&] { h.settings.write(kInputBoxKey, lineNumberList); });
            }
            if (!g.test(194, [&] { return lineNumberList.isEmpty(); })) {
                g.step(196, [&] {
                    started();
                    result = engine::RemoveN1(eh, input, lineNumberList, outputPath);
                });
            }
        } else {
            g.step(198, [&] { ws.messageBox(QStringLiteral("ListIndex Error")); });
        }
        if (h.observer) {
            if (called)
                h.observer->fileFinished(i, input, outputPath, result);
            else
                h.observer->fileSkipped(i, input);
        }
    }
    if (ws.quitRequested()) return;

    g.step(202, [&] { ws.setPointer(Pointer::Arrow); });
    g.step(204, [&] {
        ws.setProgress(Bar::Overall, 0);
        ws.setProgressText(Bar::Overall, QStringLiteral("Progress Bar"));
    });
    g.step(206, [&] { ws.setProgress(Bar::File, 0); });
    g.step(210, [&] { ws.setProgressText(Bar::File, QStringLiteral("Progress Bar")); });
    g.step(212, [&] { ws.messageBox(QStringLiteral("Done.")); });
}

}  // namespace vn::run
