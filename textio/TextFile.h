#pragma once

#include "core/WindowServices.h"
#include "platform/FileAccess.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

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
    QString path;             // the input
    std::uint64_t size = 0;   // its size in bytes when it was read
    bool knownEqual = false;  // the writer knows the result's bytes are the input's, if sizes agree
};

// True when `file`'s target is the file at input.path and what `file` holds is that file's
// content byte for byte: sizes first, then what the writer knows, and only then the bytes.
bool resultEqualsInput(AtomicFile& file, const SameAsInput& input);

// Writes a whole result, started afresh. Failures are reported under SaveStringToFileFSO, once
// per call; the target then keeps its previous content.
void SaveStringToFileFSO(WindowServices& ws, const QString& text, const QString& path);

// The class an output takes for input of class `input`: Unicode input gives UTF-16 LE, UTF-8
// input keeps UTF-8 with its mark, everything else stays 8-bit text (see currentOutputClass).
OutputClass outputClassOf(EncodingClass input);

// Where an output reports its failures: the location, and the label of each step.
struct OutputLabels {
    const char* location;
    int openFresh;   // creating the output afresh (also starting it over)
    int openAppend;  // opening it to append to what the target holds
    int write;
    int finish;  // comparing with the input and replacing the target
};
// The labels of AppendStringFSO and of SaveStringToFileFSO.
extern const OutputLabels kAppendLabels;
extern const OutputLabels kSaveLabels;

// Finished outputs waiting to be put in place together, so that one wait for the disk serves
// many files. It holds each file prepared (complete, with its target's attributes) but without
// a name, so until the batch is flushed no target and no folder shows a change, and a kill or a
// crash leaves every target as it was.
//
// flush() first makes the data of every file durable (AtomicFile::syncTogether), and only then
// puts each file in place, in the order they were added: the check that its input did not
// change since it was read, then the rename over its target. So no target is ever replaced by
// data that is not on disk, and every target ends up exactly old or exactly new. A file that
// fails there (its data could not be synced, its input changed, the rename failed) is reported
// under its own output's labels, naming its target and the reason, and keeps its target as it
// was; the files before and after it are put in place all the same. Destroying a batch that
// still holds files drops them: their targets keep what they held.
class CommitBatch {
public:
    // Flushed before it holds more than this many files, or this many bytes: enough to share
    // one sync widely, little enough that a stop or a crash loses little finished work and
    // that the window does not wait long on a flush.
    static constexpr std::size_t kMaxFiles = 64;
    static constexpr std::uint64_t kMaxBytes = std::uint64_t(32) << 20;

    explicit CommitBatch(WindowServices& ws) : m_ws(ws) {}
    CommitBatch(const CommitBatch&) = delete;
    CommitBatch& operator=(const CommitBatch&) = delete;

    // Takes a prepared file; failures are reported at labels.finish under labels.location.
    void add(AtomicFile&& file, const OutputLabels& labels);
    std::size_t size() const { return m_files.size(); }
    bool empty() const { return m_files.empty(); }
    // True once the batch should be flushed before more is added.
    bool full() const { return m_files.size() >= kMaxFiles || m_bytes >= kMaxBytes; }
    enum class Outcome {
        Placed,   // the file replaced its target
        Failed,   // it could not, and that was reported; the target is as it was
        Dropped,  // it was not tried (see flush); the target is as it was
    };
    // Asked before each file is put in place, with its index in the batch: false drops that file
    // and every one after it, so that a run stopped meanwhile goes no further.
    using Proceed = std::function<bool(std::size_t)>;
    // Told after each file that was tried, with its index and whether it replaced its target.
    using Placed = std::function<void(std::size_t, bool)>;
    // Puts the files in place, in the order they were added, and empties the batch. The answer
    // has the outcome of each file, in that order.
    std::vector<Outcome> flush(const Proceed& proceed = {}, const Placed& placed = {});

private:
    struct Entry {
        AtomicFile file;
        const OutputLabels* labels;
    };
    WindowServices& m_ws;
    std::vector<Entry> m_files;
    std::uint64_t m_bytes = 0;
};

// One output built from many pieces, with AppendStringFSO's contract: a lineNumber of 1 or less
// starts the file afresh, more than 1 appends (to what the target holds, when nothing was
// written yet). Its encoding class is fixed when it is made; the byte order mark of that class
// goes in front of the first bytes of a fresh file, so an output with nothing in it stays empty.
//
// The file is written through one atomic writer and replaced only by finish(); an output that
// cannot be opened or written is reported once, under its labels, and its later pieces are
// dropped silently. Destroying an unfinished output leaves the target as it was. An output made
// with a batch is not put in place by finish() itself: finish() hands the finished file to the
// batch, and the batch's flush puts it in place (or reports why not).
class Output {
public:
    // A dry output (a dry run) takes every piece and writes nothing: it never opens its target,
    // so not even a temporary file is made, and finish() replaces nothing.
    Output(WindowServices& ws, QString path, OutputClass cls, const OutputLabels& labels,
           bool dry = false, CommitBatch* batch = nullptr);
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    OutputClass outputClass() const { return m_class; }
    // See AtomicFile::expectSource.
    void expectSource(const QString& inputPath, const FileStamp& stamp) {
        m_file.expectSource(inputPath, stamp);
    }

    // The text encoded in the output's class.
    void AppendStringFSO(const QString& text, std::int32_t lineNumber);
    // Code units already in the form of outputClass(): bytes for the 8-bit classes, UTF-16 LE
    // units for Utf16Le. Even with no units, a lineNumber of 1 or less starts the file afresh.
    void appendRaw(std::int32_t lineNumber, const char* data, std::size_t size);

    // Replaces the target with what was written (or, with a batch, hands the finished file to
    // it); an output never started does nothing. With `input`, a result equal to that input,
    // which is also the target, is dropped and the target left untouched; the answer says so.
    bool finish(const SameAsInput* input = nullptr);
    bool failed() const { return m_failed; }
    const QString& path() const { return m_path; }

private:
    bool prepare(std::int32_t lineNumber);
    void put(const char* data, std::size_t size);

    WindowServices& m_ws;
    QString m_path;
    AtomicFile m_file;
    OutputClass m_class;
    const OutputLabels& m_labels;
    CommitBatch* m_batch = nullptr;
    bool m_dry = false;
    bool m_opened = false;
    bool m_failed = false;
    bool m_markPending = false;
};

}  // namespace vn::textio
