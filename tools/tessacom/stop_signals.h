// Ctrl-C (SIGINT) and SIGTERM as a request to stop in order, for the programs that run until
// they are done or stopped (shell, soak, bench): the signals are taken by a thread of their
// own, the program's threads run on, and the program ends its work as it would at its end,
// saying it was interrupted. `serve` takes its signals itself (demo/demo.cpp).
#pragma once

#include <functional>
#include <string>

namespace tessacom {

// Blocks SIGINT and SIGTERM in the calling thread, and so in every thread started after it,
// and starts the thread that takes them. Call once, from main, before any other thread starts.
void InstallStopSignals();

// Whether a stop was asked for; the signal that asked (SIGINT or SIGTERM), or 0.
bool StopRequested();
int StopSignal();
// "interrupted" (SIGINT) or "terminated" (SIGTERM).
std::string StopWord();
// A descriptor that becomes readable when a stop is asked for (and stays so), for poll; -1
// when the signals are not installed.
int StopDescriptor();
// Calls `action` on the signals' thread when a stop is asked for (at once if one was); one
// action at a time, replaced by the next, none after ClearStopAction.
void SetStopAction(std::function<void()> action);
void ClearStopAction();

// The exit status of a program that a stop ended before it was done: 128 + the signal.
int StoppedExitStatus();

}  // namespace tessacom
