// The main routine, shared by the POSIX entry and the Windows entry.
#pragma once

// Runs the flasher: builds the application and the window, runs the event loop and returns its
// code after tearing both down.
int flasherMain(int argc, char **argv);
