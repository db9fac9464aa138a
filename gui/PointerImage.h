#pragma once

#include <QCursor>
#include <QString>

namespace vn {

// Loads a Windows cursor file (.cur) as a mouse pointer with the hot spot the file names. Other
// image formats load too, with the hot spot in the middle. Throws vn::Failure naming the path
// and the reason when the file cannot be read or holds no image.
QCursor LoadPointerImage(const QString& path);

}  // namespace vn
