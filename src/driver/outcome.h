// How a file's conversion or a walk ended, and the one place where running
// out of memory on the way becomes an outcome.
#ifndef QUENDIX_DRIVER_OUTCOME_H
#define QUENDIX_DRIVER_OUTCOME_H

#include <new>

enum run_outcome {
    RUN_DONE,         // done as asked
    RUN_FAILED,       // not done, as the function that returns it says
    RUN_INTERRUPTED,  // an interrupt arrived; the run is to end by it
};

// Runs `work()`. True when memory ran out on the way (std::bad_alloc), once
// whatever `work` held has been released by its owners; the caller passes
// over what was left undone. Paths, listings and the sets of the walk grow
// with the tree, so no start can take their memory up front.
template <class Work>
bool ran_out_of_memory(Work&& work)
{
    try {
        work();
        return false;
    } catch (const std::bad_alloc&) {
        return true;
    }
}

#endif
