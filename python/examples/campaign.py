"""A field campaign at a glance: one row per recording, the recordings
that lost data, and one analysis over all of them with Dask.
Usage: python campaign.py DIRECTORY [JOBS]"""

import concurrent.futures
import sys

import quendix

# One row per recording below the directory, read by a pool of processes.
jobs = int(sys.argv[2]) if len(sys.argv) > 2 else 2
with concurrent.futures.ProcessPoolExecutor(jobs) as pool:
    table = quendix.summary(sys.argv[1], executor=pool)
print(table[["path", "frames", "missing", "jumps", "fragment"]].to_string(index=False))

# Lost data: frames without the marker, jumps of the position, a partial
# frame at the end, no samples at all, or a file that could not be read.
lost = table[(table["missing"] > 0) | (table["jumps"] > 0) | (table["fragment"] > 0)
             | (table["samples"] == 0) | (table["error"] != "")]
print("\n%d of %d recordings lost data:" % (len(lost), len(table)))
for row in lost.itertuples():
    if row.error or row.samples == 0:
        print("  %s: %s" % (row.path, row.error or "no samples"))
    else:
        print("  %s: %d frames without the marker, %d jump(s) (%d frames out of step), %d bytes of a "
              "partial frame" % (row.path, row.missing, row.jumps, row.different, row.fragment))

# One analysis over every recording that holds samples, one partition per
# recording (or per piece of a large one): its samples, its mean
# acceleration in g and its peak angular rate in degrees per second. The
# same lines run on a cluster once a distributed.Client is connected.
samples = quendix.to_dask(table.loc[(table["error"] == "") & (table["samples"] > 0), "path"])
samples["acceleration"] = samples["ASVM"] / 100
result = samples.groupby("path", observed=True).agg(
    {"SEQNO": "count", "acceleration": "mean", "GSVM": "max"}).compute()
result.columns = ["samples", "mean acceleration", "peak GSVM"]
print("\n" + result.sort_index().rename_axis(None).to_string(float_format="%.4f"))
