import importlib.machinery


def is_extension_module(module) -> bool:
    return module.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))
