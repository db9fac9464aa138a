#pragma once

#include <QString>

class QWidget;

namespace vn {

// The folder picker: modal, over its owner. Returns the chosen folder in native form, without a
// trailing separator (except at a root), or the empty text when the user cancels.
class FolderPicker {
public:
    virtual ~FolderPicker() = default;
    virtual QString BrowseForFolder(QWidget* owner, const QString& prompt,
                                    const QString& startFolder) = 0;
};

// The toolkit's folder dialog, the prompt as its caption and the start folder preselected; an
// empty start folder opens at the dialog's own default.
class QtFolderPicker : public FolderPicker {
public:
    QString BrowseForFolder(QWidget* owner, const QString& prompt,
                            const QString& startFolder) override;
};

}  // namespace vn
