#include "gui/PointerImage.h"

#include "core/Failure.h"

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QPixmap>

namespace vn {

namespace {

int littleEndian16(const QByteArray& bytes, int at) {
    return int(quint8(bytes.at(at))) | int(quint8(bytes.at(at + 1))) << 8;
}

}  // namespace

QCursor LoadPointerImage(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw Failure::withReason(QStringLiteral("Cannot read the pointer image"), path,
                                  file.errorString());
    QByteArray bytes = file.readAll();

    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    reader.setDecideFormatFromContent(true);
    QImage image = reader.read();
    if (image.isNull()) {
        // The content sniffer does not always take a cursor file for an icon file.
        buffer.seek(0);
        QImageReader icoReader(&buffer, "ico");
        image = icoReader.read();
        if (image.isNull())
            throw Failure::withReason(QStringLiteral("Cannot load the pointer image"), path,
                                      icoReader.errorString());
    }

    // A cursor file is an icon file of type 2 whose first directory entry carries the hot spot
    // where an icon keeps its plane and bit counts.
    int hotX = -1, hotY = -1;
    if (bytes.size() >= 22 && littleEndian16(bytes, 0) == 0 && littleEndian16(bytes, 2) == 2 &&
        littleEndian16(bytes, 4) >= 1) {
        hotX = littleEndian16(bytes, 10);
        hotY = littleEndian16(bytes, 12);
        if (hotX >= image.width() || hotY >= image.height())
            hotX = hotY = -1;
    }
    return QCursor(QPixmap::fromImage(image), hotX, hotY);
}

}  // namespace vn
