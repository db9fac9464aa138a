#include "engine/LineNumbers.h"

#include "core/Failure.h"

#include <charconv>
#include <cmath>
#include <string>
#include <system_error>

namespace vn::engine {

std::optional<double> parseNumber(QStringView piece) {
    qsizetype b = 0, e = piece.size();
    auto blank = [&](qsizetype i) { return piece[i] == u' ' || piece[i] == u'\t'; };
    while (b < e && blank(b)) ++b;
    while (e > b && blank(e - 1)) --e;

    std::string ascii;
    qsizetype i = b;
    auto digit = [&](qsizetype k) { return k < e && piece[k] >= u'0' && piece[k] <= u'9'; };
    auto takeDigits = [&] {
        qsizetype n = 0;
        for (; digit(i); ++i, ++n) ascii.push_back(char(piece[i].unicode()));
        return n;
    };
    bool negative = false;
    if (i < e && (piece[i] == u'+' || piece[i] == u'-'))
        negative = piece[i++] == u'-';
    qsizetype mantissa = takeDigits();
    if (i < e && piece[i] == u'.') {
        ascii.push_back('.');
        ++i;
        mantissa += takeDigits();
    }
    if (mantissa == 0)
        return std::nullopt;
    if (i < e && (piece[i] == u'e' || piece[i] == u'E')) {
        ascii.push_back('e');
        ++i;
        if (i < e && (piece[i] == u'+' || piece[i] == u'-'))
            ascii.push_back(char(piece[i++].unicode()));
        if (takeDigits() == 0)
            return std::nullopt;
    }
    if (i != e)
        return std::nullopt;

    double value = 0;
    const auto [end, ec] = std::from_chars(ascii.data(), ascii.data() + ascii.size(), value,
                                           std::chars_format::general);
    (void)end;
    if (ec == std::errc::result_out_of_range) {
        // Too small rounds to 0, too large stays too large.
        const auto ePos = ascii.find('e');
        const bool tiny = ePos != std::string::npos && ascii[ePos + 1] == '-';
        value = tiny ? 0.0 : HUGE_VAL;
    }
    return negative ? -value : value;
}

std::int16_t toInt16(double value) {
    const double r = std::nearbyint(value);  // the default rounding mode: halves to even
    if (!(r >= -32768.0 && r <= 32767.0))
        throw Failure(QStringLiteral("Overflow"));
    return std::int16_t(r);
}

}  // namespace vn::engine
