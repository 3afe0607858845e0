"""Prints each requirement given on the command line that the running
environment does not satisfy yet, one a line, so that only those are passed
to pip. Requirements name packages directly (no extras)."""

import sys
from importlib.metadata import PackageNotFoundError, version

try:
    # pip is in every virtual environment and carries the packaging library.
    from pip._vendor.packaging.requirements import Requirement
except ImportError:  # a pip without it: let pip decide about every requirement
    print("\n".join(sys.argv[1:]))
    sys.exit(0)

for text in filter(None, (arg.strip() for arg in sys.argv[1:])):
    requirement = Requirement(text)
    try:
        installed = version(requirement.name)
    except PackageNotFoundError:
        print(text)
        continue
    if not requirement.specifier.contains(installed, prereleases=True):
        print(text)
