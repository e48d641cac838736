import sys
from pathlib import Path

# The plain-Python fusion models live beside the tests.
sys.path.insert(0, str(Path(__file__).resolve().parent))
