import os

import pytest

# The built module lives at the top of the build folder; PYTHONPATH points there.
import quillgramx  # noqa: F401

# The plain-paths build turns off result reuse and the other shortcuts; tests
# of sharing (identity of reused objects) only hold with them on.
PLAIN_PATHS = os.environ.get("QGX_PLAIN_PATHS") == "1"


def pytest_configure(config):
    config.addinivalue_line("markers", "reuse: checks object sharing that only the shortcut paths give")


def pytest_collection_modifyitems(config, items):
    if not PLAIN_PATHS:
        return
    skip = pytest.mark.skip(reason="sharing is not kept in the plain-paths build")
    for item in items:
        if "reuse" in item.keywords:
            item.add_marker(skip)
