import sys
from pathlib import Path

# The SQLite model next to the tests is imported as a plain module.
sys.path.insert(0, str(Path(__file__).resolve().parent))
