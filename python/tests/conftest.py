"""The fixtures every test module may ask for: the built converter and
generator, found as quendix_testing.program finds them."""

import pytest

from quendix_testing import program


@pytest.fixture(scope="module")
def converter():
    return program("QUENDIX", "quendix")


@pytest.fixture(scope="module")
def generator():
    return program("QUENDIX_GEN", "quendix-gen")
