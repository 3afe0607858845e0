"""Prints the requirements of building molvenar's wheel, one a line: those
of pyproject.toml's build-system table and, once the build backend is
installed, what it asks for on top (cmake or ninja from PyPI when the machine
has none that will do)."""

import tomllib

with open("pyproject.toml", "rb") as f:
    requirements = tomllib.load(f)["build-system"]["requires"]
try:
    from scikit_build_core.build import get_requires_for_build_wheel
except ImportError:
    pass
else:
    requirements += get_requires_for_build_wheel()
print("\n".join(requirements))
