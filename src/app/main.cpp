#include "app/headlessstartup.h"
#include "app/startup.h"

#include <malloc.h>

int main(int argc, char **argv)
{
    // Buffers of 4 MiB and more (a large file's block list, its side file) get pages of their
    // own, given back when freed. Without a fixed threshold the allocator raises it to the size
    // of the first such buffer freed, and every later one of that size stays in the heap for
    // the rest of the run.
    mallopt(M_MMAP_THRESHOLD, 4 * 1024 * 1024);

    // Decided before any application object exists: the headless mode must
    // not need a display.
    if (isHeadlessCommandLine(argc, argv))
        return runHeadlessUpdater(argc, argv);
    return runUpdater(argc, argv);
}
