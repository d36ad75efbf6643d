#pragma once

// Starting the client once the update is done.
class ProcessTools
{
public:
    // Starts the client's start script beside the updater, detached, so the
    // client outlives the updater. The outcome is not examined: a missing
    // script simply starts nothing.
    static void startVl3Client();
};
