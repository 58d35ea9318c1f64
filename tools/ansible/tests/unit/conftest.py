# The collection's plain-Python logic is tried without an installed collection.
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), '..', '..', 'plugins', 'module_utils'))
