#pragma once

#include "core/WindowServices.h"
#include "platform/FileAccess.h"
#include "textio/TextFile.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string_view>

namespace vn::textio {

// Bytes of input read at a time. A piece always holds whole lines, so a line longer than this
// makes its piece longer. Tests lower it to put piece boundaries everywhere.
extern std::size_t InputPieceBytes;
// Inputs at least this large (in bytes) are viewed in place, a window of the file's pages at a
// time, instead of being copied into a buffer; smaller ones cost less to read. Tests set it to 0
// or to the largest size to walk either way.
extern std::uint64_t InputMapBytes;
// Whether the reader names each next view to its file, which sets up the pages of some of them
// ahead (see FileReader::mapAhead); on where the process may use a second processor. Tests turn
// it either way.
extern bool InputMapAhead;
// Whether an input read into a buffer has its next piece read by a second thread while the walk
// handles the one before (see ReadAhead); on where the process may use a second processor.
// Tests turn it either way.
extern bool InputReadAhead;

class ReadAhead;

// One input file as the engine walks it: its code units (bytes for 8-bit and UTF-8 input,
// UTF-16 units for Unicode input), handed out a piece of whole lines at a time, so memory stays
// flat whatever the file's size. It opens and classifies the file step by step as
// ReadFileToStringLine does, so the two module flags and the failure reports are the same. A
// read that fails later is reported under the same location and label as a failed open.
//
// The pieces together are exactly the units ReadFileToStringLine would split into lines: the
// byte order mark left out, UTF-16 BE turned into native units, UTF-32 converted. An empty input
// is one empty piece; no other piece is empty. An input that no output could carry back (see
// skipReason) stops the pieces where that is found.
class InputText {
public:
    InputText(WindowServices& ws, const QString& path);
    ~InputText();
    InputText(const InputText&) = delete;
    InputText& operator=(const InputText&) = delete;

    // False when the file could not be opened or a read has failed (both reported).
    bool ok() const { return m_ok; }
    const QString& path() const { return m_path; }
    EncodingClass encodingClass() const { return m_cls; }
    bool isWide() const { return m_wide; }

    // The next piece: whole lines, each with its break, except that the input's last line may
    // have none. A CR at a piece's end is never followed by an LF at the next one's start.
    // Returns false at the end, and when a read fails (then ok() turns false). The view stays
    // valid until the next call. Call the form that matches isWide().
    //
    // Who looks for a zero unit: by default the input does, and no piece holds one. A caller
    // that surveys every unit anyway (censusOf notes zero units) may take that on with
    // NulCheck::ByCaller; its pieces may then hold zero units, and on finding one it calls
    // refuseAsBinary and keeps nothing made from the input.
    enum class NulCheck { Here, ByCaller };
    bool next(std::string_view& piece, NulCheck check = NulCheck::Here);
    bool next(std::u16string_view& piece, NulCheck check = NulCheck::Here);
    // Ends the input as a binary file (see skipReason), for a caller that found a zero unit.
    void refuseAsBinary();
    // Work on the file's pages that the piece just handed out does not wait for: letting go of
    // the pages before it and setting up those of the next view (FileReader::letGoBefore,
    // mapAhead). A caller that starts others on the piece first calls this after them; without
    // the call, the next call of next() does it.
    void settle();
    // Asks for as few of the file's pages in memory as the views allow (FileReader::
    // holdFewPages), for a caller that holds much memory of its own; false for the usual number.
    void holdFewPages(bool few) {
        if (m_file)
            m_file->holdFewPages(few);
    }
    // True while the input's pieces are read by a second thread, one piece ahead (see
    // ReadAhead), which keeps a second processor busy.
    bool readsAhead() const { return m_ahead != nullptr && !m_mapped; }
    // True once the last piece has been handed out.
    bool atEnd() const { return m_ended; }
    // Why the input is to be left alone although it can be read, or empty: it holds a NUL code
    // unit (a binary file), or its text cannot be written back in its class (UTF-16 ending in an
    // odd byte, UTF-32 with a value outside Unicode). A file is rewritten only where every byte
    // of it can be given back; once this is set, next() answers false.
    const QString& skipReason() const { return m_skip; }
    // The file's size in bytes when it was opened (0 when it could not be).
    std::uint64_t fileSize() const { return m_size; }

    // The number of lines of the whole input by countLines' rule, from a pass of its own that
    // leaves the pieces alone. A failed read is reported, turns ok() false and gives 1.
    // `between` runs after each block read, so a window can take its turn on a long file; when
    // it answers false the count stops and gives 0.
    std::size_t countLines(const std::function<bool()>& between = {});

    // The file as it was opened, for an output that replaces it to check it is still so; not
    // valid when the file could not be opened.
    const FileStamp& stamp() const { return m_stamp; }

private:
    template <class CharT>
    bool nextPiece(std::basic_string_view<CharT>& piece, bool checkNul);
    template <class CharT>
    std::size_t countUnits(const std::function<bool()>& between);
    // The next piece viewed in the file's own pages (see InputMapBytes); false with ok() still
    // true when no view could be made, for the caller to read instead.
    template <class CharT>
    bool nextMapped(std::basic_string_view<CharT>& piece, bool checkNul);
    // Reads `count` bytes at `offset` (fewer at the end); a failure is reported, ends the input
    // and gives false. UTF-32 input is turned into UTF-16 units on the way: `count` is then the
    // room at `out`, and `got` the bytes written there, while `consumed` is always the bytes
    // taken from the file.
    // With `posted`, the read is the one posted ahead with these same arguments, and is
    // collected from the read-ahead thread.
    bool readAt(std::uint64_t offset, char* out, std::size_t count, std::size_t& got,
                bool posted = false);
    bool readUnits(std::uint64_t offset, char* out, std::size_t count, std::size_t& got,
                   std::size_t& consumed, bool posted = false);
    // Reports a view whose pages were lost while it was in use and ends the input; false then.
    bool viewStillSound();
    // Reports `failure` under the input's read location and ends the input.
    void failRead(const QString& reason);
    // Ends the input as one to be left alone, for `reason`.
    void skip(const QString& reason);

    WindowServices& m_ws;
    QString m_path;
    const char* m_location = nullptr;  // where read failures are reported, and at which label
    int m_label = 0;
    bool m_ok = false;
    EncodingClass m_cls = EncodingClass::EightBit;
    bool m_wide = false;
    bool m_swap = false;  // UTF-16 BE: units are turned around as they are read
    bool m_ended = false;
    bool m_handedOut = false;
    QString m_skip;
    std::uint64_t m_size = 0;
    std::unique_ptr<FileReader> m_file;
    FileStamp m_stamp;
    std::uint64_t m_payload = 0;     // file offset of the first unit after the byte order mark
    std::uint64_t m_offset = 0;      // file offset of the next byte to read
    bool m_utf32 = false;            // UTF-32 input: read in pieces, handed out as UTF-16
    bool m_bigEndian = false;        // of UTF-32 input
    bool m_mapped = false;           // pieces are views of the file's pages
    bool m_unsettled = false;        // settle() has work for the view of the last piece
    std::uint64_t m_pieceStart = 0;  // file offset of the last piece viewed
    std::unique_ptr<char[]> m_raw;   // UTF-32 bytes as read, before they become UTF-16
    std::size_t m_rawCapacity = 0;
    // Heap memory that grows in place where it can (a very long line then costs no copy and
    // no second buffer). 16-bit aligned, viewed as bytes or as units.
    struct Buffer {
        char16_t* units = nullptr;
        ~Buffer() { std::free(units); }
    };
    // Makes the buffer hold `bytes` bytes and one spare unit; a failure is reported and ends the
    // input.
    bool reserve(std::size_t bytes);
    Buffer m_buffer;
    std::size_t m_capacity = 0;  // bytes
    // Read ahead (see ReadAhead): while the walk handles a piece, the thread reads the next
    // bytes into the spare buffer, after the start of a line not yet handed out; the buffers
    // then trade places.
    ReadAhead* m_ahead = nullptr;
    bool m_aheadTried = false;
    bool m_pending = false;         // a read into the spare buffer is under way
    std::size_t m_pendingTail = 0;  // bytes before it there, copied from the buffer
    Buffer m_spare;
    std::size_t m_spareCapacity = 0;
    // Gives the file back, once a read under way from it is done (its outcome is dropped).
    void closeFile();
    // Starts reading the bytes after the piece just handed out, where the thread can be had.
    void postReadAhead();
    std::size_t m_filled = 0;  // bytes of units in the buffer
    std::size_t m_cut = 0;     // bytes handed out in the last piece
};

// The text of one line of an input, as ReadFileToStringLine decodes it.
QString lineText(std::string_view line);
QString lineText(std::u16string_view line);

}  // namespace vn::textio
