#include "app/headlessstartup.h"
#include "app/startup.h"

int main(int argc, char **argv)
{
    // Decided before any application object exists: the headless mode must
    // not need a display.
    if (isHeadlessCommandLine(argc, argv))
        return runHeadlessUpdater(argc, argv);
    return runUpdater(argc, argv);
}
