#pragma once

#include <QString>

namespace vn {

// The title that message and input boxes show when they name none of their own: the product
// title without its last word, shortened word by word further while it is longer than 40
// characters. A title without a space has no word to drop and is kept whole.
QString ApplicationTitle(const QString& productTitle);

}  // namespace vn
