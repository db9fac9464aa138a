#pragma once

#include "platform/FileAccess.h"
#include "core/WindowServices.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <string_view>

namespace vn::textio {

// The lines of one input file without their breaks; never empty.
using LineList = QStringList;

enum class EncodingClass { EightBit, Utf8Bom, Utf16Le, Utf16Be, Utf32Le, Utf32Be };
enum class OutputClass { EightBit, Utf8Bom, Utf16Le };

// The reader's two module flags. They describe the input read last and tell the writer which
// encoding its output takes, so a removal routine that reads before it writes produces its
// output in its input's encoding class.
extern bool IsUnicodeFile;  // the last input began with a UTF-16 or UTF-32 byte order mark
extern bool IsUTF8File;     // the last input began with the UTF-8 byte order mark

// Unicode input gives UTF-16 LE with the mark FF FE; UTF-8 input gives UTF-8 with its mark, so
// no character is lost to a narrower code page; everything else stays 8-bit text.
OutputClass currentOutputClass();

struct Classification {
    EncodingClass cls = EncodingClass::EightBit;
    bool unicode = false;  // becomes IsUnicodeFile
    bool utf8 = false;     // becomes IsUTF8File
    int markLength = 0;    // bytes of byte order mark
};

// The encoding-class table: first bytes (missing ones read as 0) and the file's length.
Classification classify(const unsigned char first[4], std::int64_t length);

// How a file the detector found to be Unicode is read: in the byte order its mark names, and
// as UTF-16 LE when it has no mark (its class changed between detection and reading).
Classification unicodeLayout(const unsigned char first[4], std::int64_t length);
// Bytes of UTF-8 byte order mark the first bytes hold: 3 or 0.
int utf8MarkLength(const unsigned char first[4], std::int64_t length);

// Classifies the file, sets IsUTF8File and returns the value for IsUnicodeFile. Has no handler of
// its own: a failure to open the file is thrown to the caller.
bool DetectFileEncoding(const QString& path);

// The reader the removal routines use. Sets both flags. Failures are reported under
// ReadFileToStringLine and its two paths; an unreadable file gives one empty line, and `ok`
// (when given) tells the caller that the file could not be read.
LineList ReadFileToStringLine(WindowServices& ws, const QString& path, bool* ok = nullptr);
LineList ReadFileToStringFSOLine(WindowServices& ws, const QString& path, bool* ok = nullptr);
LineList ReadFileToStringUTFLine(WindowServices& ws, const QString& path, bool* ok = nullptr);
LineList SplitStringToLines(const QString& text);

// What an output's finishing step needs to leave its input alone when the output is that very
// file and the result is its content unchanged: a file that would not change is not rewritten,
// so it keeps its inode, times and links.
struct SameAsInput {
    QString path;               // the input
    std::uint64_t size = 0;     // its size in bytes when it was read
    bool knownEqual = false;    // the writer knows the result's bytes are the input's, if sizes agree
};

// True when `file`'s target is the file at input.path and what `file` holds is that file's
// content byte for byte: sizes first, then what the writer knows, and only then the bytes.
bool resultEqualsInput(AtomicFile& file, const SameAsInput& input);

// Writes a whole result, started afresh. Failures are reported under SaveStringToFileFSO, once
// per call; the target then keeps its previous content.
void SaveStringToFileFSO(WindowServices& ws, const QString& text, const QString& path);

// SaveStringToFileFSO for a result that is produced in pieces: the same bytes, byte order mark
// and failure reports (under SaveStringToFileFSO, at most one) as one call with the whole text,
// without holding the text whole. The class is chosen from the module flags when the object is
// made. finish() replaces the target, also with an empty result; destroying the object before
// that leaves the target as it was.
class SavedOutput {
public:
    SavedOutput(WindowServices& ws, QString path);
    SavedOutput(const SavedOutput&) = delete;
    SavedOutput& operator=(const SavedOutput&) = delete;

    OutputClass outputClass() const { return m_class; }
    // See AtomicFile::expectSource.
    void expectSource(const QString& inputPath, const FileStamp& stamp) {
        m_file.expectSource(inputPath, stamp);
    }
    // Code units already in the form of outputClass(), as for PiecewiseOutput::appendRaw.
    void appendRaw(const char* data, std::size_t size);
    // With `input`, a result equal to that input, which is also the target, is dropped and the
    // target left untouched; the answer says so.
    bool finish(const SameAsInput* input = nullptr);

private:
    bool open();

    WindowServices& m_ws;
    AtomicFile m_file;
    OutputClass m_class;
    bool m_opened = false;
    bool m_closed = false;  // finished or failed: later pieces are dropped
    bool m_markPending = true;
};

// One output built from many pieces during one routine call, with AppendStringFSO's contract: a
// lineNumber of 1 or less starts the file afresh, more than 1 appends. The file is written
// through one atomic writer and replaced only by finish(); an output that cannot be opened or
// written is reported once, and its later pieces are dropped silently. Destroying an unfinished
// output leaves the target as it was.
class PiecewiseOutput {
public:
    PiecewiseOutput(WindowServices& ws, QString path);
    ~PiecewiseOutput() = default;
    PiecewiseOutput(const PiecewiseOutput&) = delete;
    PiecewiseOutput& operator=(const PiecewiseOutput&) = delete;

    void AppendStringFSO(const QString& text, std::int32_t lineNumber);
    // The fast path: code units already in the form of outputClass(), with the same lineNumber
    // rule. Bytes for the 8-bit classes, UTF-16 LE units for Utf16Le.
    void appendRaw(std::int32_t lineNumber, const char* data, std::size_t size);
    // The class chosen from the module flags when the output was first opened, or as it
    // would be chosen now.
    OutputClass outputClass() const;
    // See AtomicFile::expectSource.
    void expectSource(const QString& inputPath, const FileStamp& stamp) {
        m_file.expectSource(inputPath, stamp);
    }

    // As SavedOutput::finish.
    bool finish(const SameAsInput* input = nullptr);
    bool failed() const { return m_failed; }
    const QString& path() const { return m_path; }

private:
    bool prepare(std::int32_t lineNumber);
    void put(const char* data, std::size_t size);

    WindowServices& m_ws;
    QString m_path;
    AtomicFile m_file;
    bool m_opened = false;
    bool m_failed = false;
    bool m_markPending = false;
    OutputClass m_class = OutputClass::EightBit;
};

}  // namespace vn::textio
