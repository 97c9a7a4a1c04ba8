#pragma once

#include <QString>

namespace tervalo {

// The few flags and texts that several subsystems of the main window read and write. The main
// window owns one instance; every handler class gets a reference, so the state has one home and
// no subsystem needs to know another's class.
struct WindowState
{
    bool continuousFlag = false; // continuous acquisition runs
    bool saveToDisk = false;     // every reading is appended to the log file
    bool keepRunning = false;    // a continuous run outlasts time-outs and a lost device
    QString tempType;            // unit letter sent with every request: "r", "c" or "f"
};

} // namespace tervalo
