#pragma once
// Many files in one go, as a file manager hands over a selection: one
// certificate choice and one secret for them all, each file handled as its
// single-file operation handles it, and one summary at the end.

#include <string>
#include <vector>

#include "operations/Reporting.h"
#include "operations/UserInterface.h"

namespace quilvane {

enum class BatchAction { Sign, Verify, CoSign, TimeStamp };

// How each file's own messages reach the person: all of them, as in the
// terminal, or only through the summary, as in the window (where a box per
// file would bury the person in boxes).
enum class BatchMessages { Each, SummaryOnly };

// Runs `action` on every path in order. Completed only when every file was.
Outcome RunBatch(UserInterface& ui, BatchAction action, const std::vector<std::string>& paths,
                 BatchMessages messages);

}  // namespace quilvane
