#pragma once

// The updater's start-up and shutdown: everything the executable's main does.
// Returns the process exit code: 0 normal end (or another instance took
// over), 1 configuration failure, 2 engine failure.
int runUpdater(int argc, char **argv);
