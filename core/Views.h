#pragma once

#include <QString>

namespace vn {

// Read-only views of the main window's live state that the engine consults while it works. The
// window implements them; tests use fakes. They may change only inside a yield.

// Option1 "Remove line but leave blank line (carriage return)".
class LineOptionView {
public:
    virtual ~LineOptionView() = default;
    virtual bool leaveBlankLine() const = 0;
};

// The keyword list ListView2, positions 1 to count().
class KeywordListView {
public:
    virtual ~KeywordListView() = default;
    virtual int count() const = 0;
    virtual QString text(int position) const = 0;
};

}  // namespace vn
