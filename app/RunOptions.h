#pragma once

#include <QString>

namespace vn {

// What a run reads from the options panel, each value at the moment it is needed: the panel can
// change while a run yields, and the run follows it.
class RunOptionsView {
public:
    virtual ~RunOptionsView() = default;
    // The position of the chosen entry of the mode selector; -1 when none is chosen.
    virtual int mode() const = 0;
    // "Ignore case" ticked; its grey state counts as clear.
    virtual bool ignoreCase() const = 0;
    // "Remove line but leave blank line" chosen.
    virtual bool leaveBlankLine() const = 0;
    // "Save results to this folder:" chosen, rather than saving over the original files.
    virtual bool saveToFolder() const = 0;
    // The output folder box as typed or as set by its browse button.
    virtual QString outputFolder() const = 0;
};

}  // namespace vn
