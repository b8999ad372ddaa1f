"""Every public module, class, method and function says what it does; every view its GraphQL description."""
import enum
import importlib
import pkgutil

import pytest

import quorvex_analytics_utils

PACKAGE = quorvex_analytics_utils.__name__
MODULES = [importlib.import_module(info.name)
           for info in pkgutil.walk_packages(quorvex_analytics_utils.__path__, PACKAGE + ".")
           if not any(part.startswith("_") for part in info.name.split("."))
           and not info.ispkg]
# Record classes whose body is fixed without a documentation text.
WITHOUT_DOCSTRING = {"RecordBase", "CyFunctionDetector", "StringFunctions", "PredictiveModelDummyEncodingSingleValue",
                     "PredictiveModelDummyEncoding", "ClassFrequency", "AttachedImage", "AugmentedScorer"}


def documented(obj):
    doc = vars(obj).get("__doc__") if isinstance(obj, type) else obj.__doc__
    return isinstance(doc, str) and doc.strip() != "" and not doc.startswith(getattr(obj, "__name__", "") + "(")


def public_items(module):
    for name, value in vars(module).items():
        if name.startswith("_") or getattr(value, "__module__", None) != module.__name__:
            continue
        if isinstance(value, type):
            yield name, value
            if issubclass(value, enum.Enum):
                continue
            for attr, raw in vars(value).items():
                fn = getattr(raw, "__func__", raw)
                if type(fn).__name__ == "cython_function_or_method" and (
                        not attr.startswith("_") or attr == "__init__"):
                    yield f"{name}.{attr}", fn
        elif callable(value):
            yield name, value


@pytest.mark.parametrize("module", MODULES, ids=lambda m: m.__name__.rsplit(".", 1)[1])
def test_everything_public_has_a_docstring(module):
    missing = [name for name, obj in public_items(module) if not documented(obj) and name not in WITHOUT_DOCSTRING]
    assert documented(module) and not missing, f"undocumented in {module.__name__}: {missing}"


@pytest.mark.parametrize("module", MODULES, ids=lambda m: m.__name__.rsplit(".", 1)[1])
def test_views_and_their_fields_carry_graphql_descriptions(module):
    missing = []
    for name, value in vars(module).items():
        definition = vars(value).get("__strawberry_definition__") if isinstance(value, type) else None
        if definition is None or value.__module__ != module.__name__:
            continue
        if not definition.description:
            missing.append(name)
        if hasattr(definition, "fields"):
            missing += [f"{name}.{f.python_name}" for f in definition.fields if not f.description]
    assert not missing, f"no GraphQL description in {module.__name__}: {missing}"
