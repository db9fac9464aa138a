// Any bytes, read as a file of each encoding class: no crash, the line splitter agrees with the
// reader, and whatever is decoded from 8-bit text encodes back to the same bytes.

#include "textio/Codec.h"
#include "textio/Lines.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

using namespace vn::textio;

namespace {

void check(bool ok) {
    if (!ok)
        std::abort();
}

template <class CharT>
void checkLines(std::basic_string_view<CharT> text) {
    LineCursor<CharT> cursor(text);
    std::basic_string_view<CharT> line;
    std::size_t lines = 0, content = 0, expectedEnd = 0;
    while (cursor.next(line)) {
        ++lines;
        content += line.size();
        for (CharT c : line) check(!isBreak(c));
        // Every line starts where the splitter's backward scan says it does.
        const std::size_t start = std::size_t(line.data() - text.data());
        check(start == expectedEnd);
        if (!line.empty())
            check(lineStartAt(text, start + line.size() - 1) == start);
        check(lineEndAt(text, start) == start + line.size());
        expectedEnd = cursor.position();
    }
    check(lines >= 1);
    check(lines == countLines(text));
    std::size_t breaks = 0;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (isBreak(text[i]))
            i += breakLength(text, i) - 1, ++breaks;
    check(lines == breaks + ((text.empty() || !isBreak(text.back())) ? 1 : 0));
    check(content + breaks <= text.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const QString text = decodeUtf8Escaped(bytes);
    const QByteArray back = encodeUtf8Escaped(text);
    check(std::string_view(back.constData(), std::size_t(back.size())) == bytes);
    checkLines(bytes);

    const QString le = decodeUtf16(bytes, false);
    const QByteArray leBack = encodeUtf16Le(le);
    if (size % 2 == 0)
        check(std::string_view(leBack.constData(), std::size_t(leBack.size())) == bytes);
    checkLines(
        std::u16string_view(reinterpret_cast<const char16_t*>(le.utf16()), std::size_t(le.size())));
    (void)decodeUtf16(bytes, true);
    (void)decodeUtf32(bytes, false);
    (void)decodeUtf32(bytes, true);
    return 0;
}
