"""A campaign's summary and one analysis of its samples on a Dask cluster:
the one whose scheduler is at ADDRESS, or a LocalCluster of two workers
started here. Usage: python cluster.py DIRECTORY [ADDRESS]"""

import contextlib
import sys

import distributed

import quendix

# Every port of a LocalCluster started here, the web pages of its scheduler
# and workers too, is on this machine's loopback address only.
LOOPBACK = dict(host="127.0.0.1", dashboard_address="127.0.0.1:0", worker_dashboard_address="127.0.0.1:0")

# A LocalCluster's workers are processes started afresh, which import this
# file again: the guard keeps them from running it.
if __name__ == "__main__":
    with contextlib.ExitStack() as stack:
        if len(sys.argv) > 2:
            address = sys.argv[2]  # such as tcp://host:8786
        else:
            address = stack.enter_context(
                distributed.LocalCluster(n_workers=2, threads_per_worker=1, **LOOPBACK))
        client = stack.enter_context(distributed.Client(address))
        table = quendix.summary(sys.argv[1], executor=client.get_executor())
        # The recordings that could not be read or hold no samples (a dead
        # sensor) are named; the analysis runs over the others.
        holding = (table["error"] == "") & (table["samples"] > 0)
        for row in table[~holding].itertuples():
            print("%s: %s" % (row.path, row.error or "no samples"))
        if holding.any():
            samples = quendix.to_dask(table.loc[holding, "path"])
            peak = samples.groupby("path", observed=True)["GSVM"].max().compute()
            print(peak.astype(int).to_dict())
