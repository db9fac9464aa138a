#include "textio/TextFile.h"

#include "core/ErrorLocations.h"
#include "core/ErrorReport.h"
#include "textio/Codec.h"
#include "textio/Lines.h"

#include <algorithm>

namespace vn::textio {

bool IsUnicodeFile = false;
bool IsUTF8File = false;

OutputClass currentOutputClass() {
    if (IsUnicodeFile)
        return OutputClass::Utf16Le;
    if (IsUTF8File)
        return OutputClass::Utf8Bom;
    return OutputClass::EightBit;
}

Classification classify(const unsigned char b[4], std::int64_t n) {
    if (n >= 4 && b[0] == 0xFF && b[1] == 0xFE && b[2] == 0x00 && b[3] == 0x00)
        return {EncodingClass::Utf32Le, true, false, 4};
    if (n >= 4 && b[0] == 0x00 && b[1] == 0x00 && b[2] == 0xFE && b[3] == 0xFF)
        return {EncodingClass::Utf32Be, true, false, 4};
    if (n >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF)
        return {EncodingClass::Utf8Bom, false, true, 3};
    if (n >= 2 && b[0] == 0xFF && b[1] == 0xFE)
        return {EncodingClass::Utf16Le, true, false, 2};
    if (n >= 2 && b[0] == 0xFE && b[1] == 0xFF)
        return {EncodingClass::Utf16Be, true, false, 2};
    return {};
}

bool DetectFileEncoding(const QString& path) {
    IsUTF8File = false;
    unsigned char head[4];
    const std::int64_t n = readFileHead(path, head, sizeof head);
    const Classification c = classify(head, n);
    IsUTF8File = c.utf8;
    return c.unicode;
}

Classification unicodeLayout(const unsigned char b[4], std::int64_t n) {
    const Classification c = classify(b, n);
    return c.unicode ? c : Classification{EncodingClass::Utf16Le, true, false, 0};
}

int utf8MarkLength(const unsigned char b[4], std::int64_t n) {
    return (n >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) ? 3 : 0;
}

namespace {

// The first bytes of a whole file as the table reads them: missing ones are 0.
struct Head {
    unsigned char bytes[4] = {0, 0, 0, 0};
    std::int64_t length;
    explicit Head(const FileBytes& file) : length(std::int64_t(file.size)) {
        std::copy_n(reinterpret_cast<const unsigned char*>(file.data()),
                    std::min<std::size_t>(4, file.size), bytes);
    }
};

LineList splitBytes(std::string_view bytes) {
    LineList lines;
    LineCursor<char> cursor(bytes);
    std::string_view line;
    while (cursor.next(line)) lines.append(decodeUtf8Escaped(line));
    return lines;
}

LineList splitUnits(std::u16string_view units) {
    LineList lines;
    LineCursor<char16_t> cursor(units);
    std::u16string_view line;
    while (cursor.next(line))
        lines.append(QString(reinterpret_cast<const QChar*>(line.data()), qsizetype(line.size())));
    return lines;
}

QString decodeUnicode(const FileBytes& file, const Classification& c) {
    const std::string_view payload(file.data() + c.markLength, file.size - c.markLength);
    switch (c.cls) {
        case EncodingClass::Utf32Le:
            return decodeUtf32(payload, false);
        case EncodingClass::Utf32Be:
            return decodeUtf32(payload, true);
        case EncodingClass::Utf16Be:
            return decodeUtf16(payload, true);
        default:
            return decodeUtf16(payload, false);
    }
}

LineList oneEmptyLine() {
    return LineList{QString()};
}

}  // namespace

LineList ReadFileToStringFSOLine(WindowServices& ws, const QString& path, bool* ok) {
    Guard g(ws, loc::ReadFileToStringFSOLine);
    LineList lines;
    FileBytes file;
    bool opened = false;
    g.step(100, [] {});
    g.step(102, [&] {
        file = readWholeFile(path);
        opened = true;
    });
    g.step(104, [&] {
        if (!opened)
            return;
        if (IsUnicodeFile) {
            const Head head(file);
            const QString text = decodeUnicode(file, unicodeLayout(head.bytes, head.length));
            lines = splitUnits(std::u16string_view(reinterpret_cast<const char16_t*>(text.utf16()),
                                                   std::size_t(text.size())));
        } else {
            lines = splitBytes(std::string_view(file.data(), file.size));
        }
    });
    if (lines.isEmpty())
        lines = oneEmptyLine();
    if (ok)
        *ok = opened;
    return lines;
}

LineList ReadFileToStringUTFLine(WindowServices& ws, const QString& path, bool* ok) {
    Guard g(ws, loc::ReadFileToStringUTFLine);
    LineList lines;
    FileBytes file;
    bool opened = false;
    g.step(106, [&] {
        file = readWholeFile(path);
        opened = true;
    });
    g.step(110, [&] {
        if (!opened)
            return;
        const Head head(file);
        const auto mark = std::size_t(utf8MarkLength(head.bytes, head.length));
        lines = splitBytes(std::string_view(file.data() + mark, file.size - mark));
    });
    if (lines.isEmpty())
        lines = oneEmptyLine();
    if (ok)
        *ok = opened;
    return lines;
}

LineList ReadFileToStringLine(WindowServices& ws, const QString& path, bool* ok) {
    Guard g(ws, loc::ReadFileToStringLine);
    LineList lines = oneEmptyLine();
    bool read = false;
    g.step(100, [&] { IsUnicodeFile = DetectFileEncoding(path); });
    if (g.test(102, [] { return IsUTF8File; })) {
        g.step(104, [&] { lines = ReadFileToStringUTFLine(ws, path, &read); });
    } else {
        g.step(106, [&] { lines = ReadFileToStringFSOLine(ws, path, &read); });
    }
    if (ok)
        *ok = read;
    return lines;
}

LineList SplitStringToLines(const QString& text) {
    return splitUnits(std::u16string_view(reinterpret_cast<const char16_t*>(text.utf16()),
                                          std::size_t(text.size())));
}

// ---- writing ----

namespace {

QByteArray encodeFor(OutputClass c, const QString& text) {
    return c == OutputClass::Utf16Le ? encodeUtf16Le(text) : encodeUtf8Escaped(text);
}

std::string_view markFor(OutputClass c) {
    switch (c) {
        case OutputClass::Utf16Le:
            return std::string_view("\xFF\xFE", 2);
        case OutputClass::Utf8Bom:
            return std::string_view("\xEF\xBB\xBF", 3);
        default:
            return {};
    }
}

}  // namespace

void SaveStringToFileFSO(WindowServices& ws, const QString& text, const QString& path) {
    Guard g(ws, loc::SaveStringToFileFSO);
    const OutputClass c = currentOutputClass();
    AtomicFile file(path);
    // A failed open is reported once; the steps after it have nothing to act on.
    if (!g.step(104, [&] { file.open(); }))
        return;
    if (!g.step(112, [&] {
            const QByteArray bytes = encodeFor(c, text);
            if (!bytes.isEmpty()) {
                const std::string_view mark = markFor(c);
                file.write(mark.data(), mark.size());
                file.write(bytes.constData(), std::size_t(bytes.size()));
            }
        }))
        return;
    g.step(120, [&] { file.commit(); });
}

OutputClass outputClassOf(EncodingClass input) {
    switch (input) {
        case EncodingClass::EightBit:
            return OutputClass::EightBit;
        case EncodingClass::Utf8Bom:
            return OutputClass::Utf8Bom;
        default:
            return OutputClass::Utf16Le;
    }
}

const OutputLabels kAppendLabels{loc::AppendStringFSO, 108, 106, 116, 124};
const OutputLabels kSaveLabels{loc::SaveStringToFileFSO, 104, 104, 112, 120};

Output::Output(WindowServices& ws, QString path, OutputClass cls, const OutputLabels& labels,
               bool dry, CommitBatch* batch)
    : m_ws(ws),
      m_path(std::move(path)),
      m_file(m_path),
      m_class(cls),
      m_labels(labels),
      m_batch(batch),
      m_dry(dry) {}

bool Output::prepare(std::int32_t lineNumber) {
    if (m_failed || m_dry)
        return false;
    Guard g(m_ws, m_labels.location);
    const bool append = lineNumber > 1;
    if (!m_opened) {
        const bool done =
            g.step(append ? m_labels.openAppend : m_labels.openFresh, [&] { m_file.open(append); });
        if (!done) {
            m_failed = true;
            return false;
        }
        m_opened = true;
        // An appended piece continues a file that already carries its mark (or is empty).
        m_markPending = !append || m_file.size() == 0;
    } else if (!append) {
        if (!g.step(m_labels.openFresh, [&] { m_file.restart(); })) {
            m_failed = true;
            m_file.discard();
            return false;
        }
        m_markPending = true;
    }
    return true;
}

void Output::put(const char* data, std::size_t size) {
    if (size == 0)
        return;
    Guard g(m_ws, m_labels.location);
    const bool done = g.step(m_labels.write, [&] {
        if (m_markPending) {
            const std::string_view mark = markFor(m_class);
            m_file.write(mark.data(), mark.size());
            m_markPending = false;
        }
        m_file.write(data, size);
    });
    if (!done) {
        m_failed = true;
        m_file.discard();
    }
}

void Output::AppendStringFSO(const QString& text, std::int32_t lineNumber) {
    if (!prepare(lineNumber))
        return;
    const QByteArray bytes = encodeFor(m_class, text);
    put(bytes.constData(), std::size_t(bytes.size()));
}

void Output::appendRaw(std::int32_t lineNumber, const char* data, std::size_t size) {
    if (!prepare(lineNumber))
        return;
    put(data, size);
}

bool Output::finish(const SameAsInput* input) {
    if (m_failed || !m_opened)
        return false;
    Guard g(m_ws, m_labels.location);
    bool same = false;
    const bool done = g.step(m_labels.finish, [&] {
        same = input && resultEqualsInput(m_file, *input);
        if (same) {
            m_file.discard();
        } else if (m_batch) {
            m_file.prepare();
            AtomicFile file(m_path);
            std::swap(file, m_file);
            m_batch->add(std::move(file), m_labels);
        } else {
            m_file.commit();
        }
    });
    if (!done)
        m_failed = true;
    m_opened = false;
    return done && same;
}

void CommitBatch::add(AtomicFile&& file, const OutputLabels& labels) {
    m_bytes += file.size();
    m_files.push_back(Entry{std::move(file), &labels});
}

std::vector<CommitBatch::Outcome> CommitBatch::flush(const Proceed& proceed, const Placed& placed) {
    std::vector<AtomicFile*> files;
    files.reserve(m_files.size());
    for (Entry& e : m_files) files.push_back(&e.file);
    AtomicFile::syncTogether(files);
    std::vector<Outcome> outcomes(m_files.size(), Outcome::Dropped);
    for (std::size_t k = 0; k < m_files.size(); ++k) {
        if (proceed && !proceed(k))
            break;
        Entry& e = m_files[k];
        Guard g(m_ws, e.labels->location);
        const bool done = g.step(e.labels->finish, [&] { e.file.install(); });
        outcomes[k] = done ? Outcome::Placed : Outcome::Failed;
        if (placed)
            placed(k, done);
    }
    // Clearing drops what was not tried: those temporary files never had a name.
    m_files.clear();
    m_bytes = 0;
    return outcomes;
}

bool resultEqualsInput(AtomicFile& file, const SameAsInput& input) {
    // Sizes first: they are at hand, and they differ whenever a line went.
    if (file.size() != input.size)
        return false;
    if (!isSameFile(input.path, file.targetPath()))
        return false;
    if (input.knownEqual)
        return true;
    return file.holdsSameBytesAs(input.path);
}

}  // namespace vn::textio
