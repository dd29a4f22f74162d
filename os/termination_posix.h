// Removing a named temporary file when a signal ends the run, on POSIX
// systems: every signal whose default action ends the process is caught
// while such a file exists, the file removed and the signal raised again.
#pragma once

#include <signal.h>

#include <string>

// Catches every terminating signal that still has its default action. One
// the caller left ignored stays ignored, and a handler installed within the
// process (a sanitizer's) stays.
void catch_terminating_signals();

// Holds back the terminating signals; returns the mask to restore with
// release_signals.
sigset_t hold_signals();
void release_signals(const sigset_t& previous);

// Records the temporary file `name` in the folder `folder` as the one a
// signal removes (at most 63 bytes; a longer name is not recorded), or with
// folder -1 records none. Call with the signals held. The record lives in
// fixed storage, so a signal during the process's exit reads nothing freed.
void guard_temp_file(int folder, const std::string& name);
