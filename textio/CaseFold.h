#pragma once

#include <QString>
#include <QStringView>

#include <vector>

namespace vn::textio {

// The program's one case-folding rule: the engine's ignoreCase search, remove-by-text in the
// file list and the folder walker's name match all compare this lower-case form, so what one of
// them finds, the others find too. Every code point goes through its simple (one to one) Unicode
// lower-case mapping, as QChar::toLower gives it (with U+0130, which Qt leaves alone, mapped to
// 'i' as Unicode has it). QString::toLower uses the full mapping, which can lengthen a text
// (U+0130 becomes two code points) and so shift what a substring test sees. A surrogate without
// its partner is left as it is, and so are the escape units of undecodable bytes.
QString lowerSimple(QStringView text);

// The same mapping for one code point.
char32_t lowerCodePoint(char32_t c);

// The mapping of every BMP code unit at once, for searches that fold whole texts: entry u is the
// lower-case form of u, or 0 where that form lies beyond the BMP (then ask lowerCodePoint). A
// surrogate maps to itself, as a lone one does in lowerSimple.
const char16_t* lowerBmpTable();

// The code points above ASCII whose lower-case form is ASCII (U+212A KELVIN SIGN gives 'k',
// U+0130 gives 'i'). A byte-level case-insensitive search for an ASCII text cannot see these,
// so lines holding one of them are tested the exact way.
const std::vector<char32_t>& foldsIntoAscii();

// Whether no code point but `c` itself has `c` as its lower-case form, so that text holds `c` in
// one case only and a search ignoring case may look for it as it stands (as for most scripts
// without case, digits and signs). An ASCII letter never is; for anything else the first
// question looks at every code point once, a few milliseconds.
bool lowersOnlyFromItself(char32_t c);

// The code points other than `c` whose lower-case form is `c`, in order: its capital and
// title-case forms, and signs such as U+212A KELVIN SIGN for 'k'. The first question looks at
// every code point once.
std::vector<char32_t> otherFormsOf(char32_t c);

}  // namespace vn::textio
