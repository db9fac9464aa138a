// A line-number list, split at "," as the removal by line numbers splits it: each piece's
// numeric test agrees with the C library's reading of the same text, surrounding blanks do not
// change it, and the conversion to a line number either fits or throws.

#include "core/Failure.h"
#include "engine/LineNumbers.h"

#include <QString>
#include <QStringList>

#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

using namespace vn::engine;

namespace {

void check(bool ok) {
    if (!ok)
        std::abort();
}

bool same(std::optional<double> a, std::optional<double> b) {
    if (a.has_value() != b.has_value())
        return false;
    return !a || *a == *b || (std::isnan(*a) && std::isnan(*b));
}

void checkPiece(QStringView piece) {
    const std::optional<double> value = parseNumber(piece);
    // Blanks around never matter.
    check(
        same(value, parseNumber(QStringLiteral(" \t") + piece.toString() + QStringLiteral("\t "))));
    if (!value)
        return;
    check(!std::isnan(*value));

    // Only plain decimal notation passes, and it reads as strtod reads it.
    std::string ascii;
    for (QChar c : piece) {
        if (c == u' ' || c == u'\t')
            continue;
        check(c.unicode() < 128 && std::string_view("0123456789+-.eE").find(char(c.unicode())) !=
                                       std::string_view::npos);
        ascii.push_back(char(c.unicode()));
    }
    errno = 0;
    char* end = nullptr;
    const double expected = std::strtod(ascii.c_str(), &end);
    check(end == ascii.c_str() + ascii.size());
    if (errno != ERANGE)
        check(*value == expected);
    else
        check(std::isinf(*value) == std::isinf(expected) || *value == 0.0);

    try {
        const std::int16_t n = toInt16(*value);
        check(std::fabs(double(n) - *value) <= 0.5);
    } catch (const vn::Failure&) {
        check(!(std::nearbyint(*value) >= -32768.0 && std::nearbyint(*value) <= 32767.0));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool cLocale = std::setlocale(LC_NUMERIC, "C") != nullptr;
    (void)cLocale;
    const QString list = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    for (const QString& piece : list.split(u',')) checkPiece(piece);
    return 0;
}
