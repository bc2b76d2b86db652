// The application entry with the desktop window.
#pragma once

#include "common/ipc_tables.h"

namespace veltaro::desktop {

// Call first in `main`, while the process has one thread: settings that the GUI libraries read
// from the environment when they start, and that the web engine's processes inherit.
void prepare_environment();

// Runs the application in a GTK window until it is quit. Errors are reported, never thrown.
void GUI(common::QueueTable Queue_All_variable, common::EventTable Event_All_variable);

}  // namespace veltaro::desktop
