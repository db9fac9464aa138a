#pragma once

// The one line loop behind all six routines. It ties four parts together, each declared with
// its invariants in Walk.cpp: a line source that reads the input a piece of whole lines at a
// time and cuts each piece into stretches, a pacer that shows progress, yields to the window and
// watches for a stop, a rule (Rules.h) that marks the lines to remove, and a writer that puts
// the kept lines into the output as large raw blocks.

#include "core/ErrorReport.h"
#include "engine/Engine.h"
#include "engine/Rules.h"
#include "textio/InputText.h"
#include "textio/TextFile.h"

namespace vn::engine::detail {

// Whether a helper thread surveys the blocks of long pieces ahead of the walk (Walk.cpp's
// Survey); on where the process may use a second processor. Tests turn it either way.
extern bool SurveyAhead;
// The units a block of the survey spans, in bytes; tests make it small, so that pieces hold
// many blocks and long lines cover several.
extern std::size_t SurveyBlockBytes;

// The step labels a routine's error reports name; 0 where the routine has no such step.
struct Steps {
    int progress = 0;  // ProgressBar2 set for the line about to be handled
    int yield = 0;     // the per-line yield
    int test = 0;      // deciding which lines go
    int option1 = 0;   // reading Option1 for a removed line; 0: removed lines simply vanish
    int write = 0;
};

// Walks every line of the input once, writes the lines `rule` keeps into `output` and finishes
// it; the output refuses to replace an input that changed meanwhile. With cutFinalBreak the
// output's very last break is left out. The result counts the lines read and removed and says why
// the walk ended early: a stop request (stopped), an input to be left alone (skipped) or a failed
// read (reported; read turns false). An output that did not reach its end is dropped, so its target
// keeps what it held.
template <class CharT>
FileResult walkFile(Host& host, Guard& g, textio::InputText& input, const Steps& steps,
                    Rule<CharT>& rule, textio::Output& output, bool cutFinalBreak);

}  // namespace vn::engine::detail
