import sys
from pathlib import Path

# The reference model sits beside the tests; make it importable under any
# import mode.
sys.path.insert(0, str(Path(__file__).resolve().parent))
