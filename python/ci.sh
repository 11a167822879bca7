#!/usr/bin/env bash
# CI for the Python package, run after the C++ build: installs the package
# into a fresh virtual environment without the network and runs its tests,
# the worked examples among them, against the built converter and
# generator. The commands of docs/python.md (the examples and the command
# line as a user runs them) are python/check_docs.py's to run.
#
#   python/ci.sh        (needs build/default/quendix and build/default/quendix-gen)
#
# Uses Debian's /usr/bin/python3 with python3-numpy, python3-pandas,
# python3-pytest, python3-matplotlib, python3-dask, python3-distributed and
# python3-venv; the environment sees them through --system-site-packages, so
# pip downloads nothing.
set -euo pipefail
cd "$(dirname "$0")/.."

python=/usr/bin/python3
repo=$PWD
export QUENDIX="$repo/build/default/quendix"
export QUENDIX_GEN="$repo/build/default/quendix-gen"
for program in "$QUENDIX" "$QUENDIX_GEN"; do
  [ -x "$program" ] || { echo "python/ci.sh: $program is missing; build with cmake --workflow --preset default"; exit 1; }
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

echo "== python: a virtual environment with Debian's packages, and the package installed offline"
"$python" -m venv --system-site-packages "$scratch/venv"
# Built from a copy, so that the build leaves nothing in the work tree.
cp -r python "$scratch/source"
rm -rf "$scratch/source/build" "$scratch/source"/*.egg-info
"$scratch/venv/bin/pip" install --quiet --no-index --no-build-isolation "$scratch/source"
venv_python="$scratch/venv/bin/python"
installed=$(cd "$scratch" && "$venv_python" -c 'import quendix; print(quendix.__file__)')
case "$installed" in
  "$scratch/venv/"*) echo "quendix installed at $installed" ;;
  *) echo "python/ci.sh: quendix imported from $installed, not from the environment"; exit 1 ;;
esac

echo "== python: the package's tests, against the built programs"
# Run from the scratch directory, so that the tests import the installed
# package and not the work tree's.
(cd "$scratch" && PYTHONDONTWRITEBYTECODE=1 "$venv_python" -m pytest -q -rs -p no:cacheprovider \
  "$repo/python/tests")


echo "== python: the tests of reading, the walk and the outputs again, with files reached the portable way"
# QUENDIX_FILE_WAY=portable is a switch for the tests only: the package
# otherwise chooses its way by what the platform supports, and on Linux
# that is the descriptors way of the run above. The other modules compute
# on what these reach, through the same few calls, so they run once.
(cd "$scratch" && QUENDIX_FILE_WAY=portable PYTHONDONTWRITEBYTECODE=1 "$venv_python" -m pytest -q -rs \
  -p no:cacheprovider "$repo/python/tests/test_read.py" "$repo/python/tests/test_pieces.py" \
  "$repo/python/tests/test_campaign.py" "$repo/python/tests/test_outputs.py")
