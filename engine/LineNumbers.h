#pragma once

#include <QString>
#include <QStringView>

#include <cstdint>
#include <optional>

namespace vn::engine {

// The numeric test for one piece of a line-number list: spaces or tabs around, an optional
// sign, digits with an optional decimal part after ".", or a decimal part alone, and an
// optional exponent. No locale applies: "," separates pieces, so it can be neither a decimal
// nor a thousands separator here. Returns the value when the piece passes (infinite when it
// is too large even for a double).
std::optional<double> parseNumber(QStringView piece);

// A value as a 16-bit signed integer, rounded to the nearest integer with halves going to the
// even neighbour. Throws Failure "Overflow" outside -32768..32767.
std::int16_t toInt16(double value);

}  // namespace vn::engine
