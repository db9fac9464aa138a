#pragma once

#include "core/WindowServices.h"
#include "filelist/FileListModel.h"

#include <QString>
#include <QStringList>

#include <functional>

namespace vn::filelist {

// The "Samples" folder beside the program.
QString samplesFolder(const QString& programFolder);

// The full paths of the files in the samples folder, in name order; none when it is missing.
// Subfolders are neither listed nor walked.
QStringList sampleFiles(const QString& programFolder);

// True when some entry equals path exactly, letter case included.
bool IsPathListed(const FileListModel& list, const QString& path);

// Appends the sample files not yet listed, then asks whether to open the samples folder (also
// when nothing was added) and on Yes hands it to openFolder, whose outcome is not reported.
// Has no handler of its own: a failure ends it early, keeping what was appended.
void LoadSampleFiles(WindowServices& ws, FileListModel& list, const QString& programFolder,
                     const std::function<void(const QString& folder)>& openFolder);

// "Load Sample/Example Files".
void PushButton8_Click(WindowServices& ws, FileListModel& list, const QString& programFolder,
                       const std::function<void(const QString& folder)>& openFolder);

}  // namespace vn::filelist
