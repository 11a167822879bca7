// How a file's conversion or a walk ended.
#ifndef QUENDIX_DRIVER_OUTCOME_H
#define QUENDIX_DRIVER_OUTCOME_H

enum run_outcome {
    RUN_DONE,         // done as asked
    RUN_FAILED,       // not done, as the function that returns it says
    RUN_INTERRUPTED,  // an interrupt arrived; the run is to end by it
};

#endif
