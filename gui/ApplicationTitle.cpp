#include "gui/ApplicationTitle.h"

namespace vn {

QString ApplicationTitle(const QString& productTitle) {
    qsizetype space = productTitle.lastIndexOf(QLatin1Char(' '));
    if (space < 0)
        return productTitle;
    // The first cut happens whatever the length.
    QString title = productTitle.left(space);
    while (title.size() > 40) {
        space = title.lastIndexOf(QLatin1Char(' '));
        if (space < 0)
            break;  // one long word: nothing more to cut at
        title.truncate(space);
    }
    return title;
}

}  // namespace vn
