import os
import sys

# The test-only extension module is built beside these tests, or where the sanitizer build puts it.
sys.path.insert(0, os.environ.get("KELVORA_TEST_MODULE_DIR", os.path.dirname(__file__)))
