#pragma once

// The "Convert" button: asks for the destination, runs the conversion core and reports
// through the window's status lines, progress bar and message boxes.

#include "convert/run.hpp"

namespace larkfield::app {

class frmStep1;

// What a run writes with and reads with; the program uses the conversion's own (the PST
// writer and the importer), tests may put in theirs.
using ConversionServices = convert::Services;

// The help page the "Outlook Error" box names.
inline constexpr char kSessionHelpAddress[] =
    "https://larkfield.example/mail-porter/help#creating-the-pst";

// One run, from the click to the last message box. A window that closes during the run
// ends it at the next yield (Cancelled passes through) after the store was committed.
void RunConversion(frmStep1& window, const ConversionServices& services);

}  // namespace larkfield::app
