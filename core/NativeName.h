#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

namespace vn {

// File names are byte strings here, and not every byte string is UTF-8. These two carry a name
// through QString without loss: valid UTF-8 decodes as usual, and each byte that is not part of a
// valid sequence becomes the lone surrogate U+DC80 + byte, which encoding turns back into that
// byte. A lone surrogate can never come out of valid UTF-8, so the mapping is one to one and
// every name found on disk can be opened again by the text it was listed as.
QString nameFromNative(QByteArrayView bytes);
QByteArray nativeName(const QString& name);

// A name for messages and reports: the same text, with each byte that is not valid UTF-8 written
// as \xHH ("caf\xE9.txt"), so the user sees which file is meant and the output stays valid text.
QString displayName(const QString& name);

}  // namespace vn
