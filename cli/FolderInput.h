#pragma once

#include "core/WindowServices.h"

#include <QString>
#include <QStringList>

namespace vn::cli {

// The files of `folder` and all its subfolders whose extension matches `ext`, in the order and
// with the exclusions of "Add All File(s) In Folder" ("*" takes every file). Failures while
// walking are reported through ws as that button reports them. Without `hidden`, names starting
// with "." are left out, and such folders are not entered.
QStringList filesInFolder(WindowServices& ws, const QString& folder, const QString& ext,
                          bool hidden);

}  // namespace vn::cli
