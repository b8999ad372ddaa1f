"""Predictive scoring models and everything that travels with one, as native extension modules.

Records are pydantic v2 models, views strawberry GraphQL types; the modules live under
`quorvex_analytics_utils.utils` (record base, value parsing, YAML and JSON text) and
`quorvex_analytics_utils.predictive_models` (bins, preparation, profile, quality, monitoring and the
aggregate `AugmentedScorer`).
"""

from importlib.metadata import version as _version

__version__: str = _version("quorvex_analytics_utils")
"""The installed distribution's version, read from its metadata."""
