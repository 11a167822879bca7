"""The fixtures every test module may ask for: the built converter and
generator, found as quendix_testing.program finds them, and one Dask
cluster for the whole test session."""

import contextlib

import pytest

from quendix_testing import LOOPBACK_CLUSTER, only_loopback_ports, program


@pytest.fixture(scope="module")
def converter():
    return program("QUENDIX", "quendix")


@pytest.fixture(scope="module")
def generator():
    return program("QUENDIX_GEN", "quendix-gen")


# Dask's own limits on a connection (30 s) are too short for a cluster
# started on a loaded machine: every connection of the session's cluster,
# of its workers and of a program the tests start is given two minutes.
DASK_TIMEOUTS = {"distributed.comm.timeouts.connect": "120s", "distributed.comm.timeouts.tcp": "120s"}


@pytest.fixture(scope="session")
def dask_cluster(tmp_path_factory):
    """A Dask cluster of two worker processes on this machine, listening on
    its loopback address alone, started once for the session, since
    starting one takes seconds; skips where distributed is not installed."""
    distributed = pytest.importorskip("distributed")
    import dask
    with pytest.MonkeyPatch.context() as patch, dask.config.set(DASK_TIMEOUTS):
        for key, value in DASK_TIMEOUTS.items():
            patch.setenv("DASK_" + key.upper().replace(".", "__").replace("-", "_"), value)
        with contextlib.ExitStack() as stack:
            with only_loopback_ports(tmp_path_factory.mktemp("ports")):
                cluster = stack.enter_context(distributed.LocalCluster(
                    n_workers=2, threads_per_worker=1, processes=True, **LOOPBACK_CLUSTER))
            yield cluster


@pytest.fixture(scope="module")
def cluster(dask_cluster):
    """A client of the session's Dask cluster."""
    import distributed
    with distributed.Client(dask_cluster) as client:
        yield client
