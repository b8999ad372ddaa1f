"""The package as a user installs it: its version and its metadata."""
import importlib.metadata

import quorvex_analytics_utils


def test_version_is_the_installed_distributions():
    assert quorvex_analytics_utils.__version__ == importlib.metadata.version("quorvex_analytics_utils")


def test_metadata_declares_python_and_typing():
    meta = importlib.metadata.metadata("quorvex_analytics_utils")
    assert meta["Requires-Python"] == ">=3.13"
    assert "Typing :: Typed" in meta.get_all("Classifier")
