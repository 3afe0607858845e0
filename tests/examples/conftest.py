"""The example scripts are imported from examples/ as plain modules."""

import sys
from pathlib import Path

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
sys.path.insert(0, str(EXAMPLES))
