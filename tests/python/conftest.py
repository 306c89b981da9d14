import os
import sys

# The built module lives at the top of the build folder; PYTHONPATH points there.
import quillgramx  # noqa: F401
