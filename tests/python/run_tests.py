#!/usr/bin/env python3
"""Runs the Python module's tests with pytest; exit 77 (skipped) when pytest or NumPy is absent."""
import os
import sys

try:
    import numpy  # noqa: F401
    import pytest
except ImportError as e:
    print(f"the Python tests are skipped: {e.name} is not installed "
          "(Debian: python3-pytest python3-numpy)")
    sys.exit(77)

here = os.path.dirname(os.path.abspath(__file__))
# No cache in the source tree; every status but 0 fails the test, 5 (no test ran) included.
sys.exit(pytest.main(["-q", "-p", "no:cacheprovider", here] + sys.argv[1:]))
