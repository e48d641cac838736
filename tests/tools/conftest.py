import sys
from pathlib import Path

# The tools are not installed with the package: import them from the checkout.
ROOT = str(Path(__file__).resolve().parents[2])
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)
