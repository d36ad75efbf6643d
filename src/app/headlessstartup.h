#pragma once

// The updater's start-up without a window: "update --headless [TYPE VERSION]".
// Needs no display; the exit code tells how the run went (HeadlessRunner's
// ExitCode, 5 when another instance runs in this installation).

// True when the command line asks for the headless mode. Looks at the raw
// arguments, as it decides which application object to create.
bool isHeadlessCommandLine(int argc, char **argv);

// Everything the executable's main does in headless mode.
int runHeadlessUpdater(int argc, char **argv);
