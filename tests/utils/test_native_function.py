import pytest

from quorvex_analytics_utils._testing import bucketing_probe

FN = bucketing_probe.is_own_method
NAME = "is_own_method"


class _Qualname:
    """Anything a caller may store as a function's __qualname__."""


@pytest.mark.parametrize("change", [
    lambda fn, mp: mp.setattr(fn, "__qualname__", 5),
    lambda fn, mp: mp.setattr(fn, "__qualname__", _Qualname()),
    lambda fn, mp: mp.delattr(fn, "__qualname__"),
    lambda fn, mp: mp.setattr(fn, "__dict__", {}),
])
def test_messages_and_repr_survive_a_qualname_that_is_no_text(change, monkeypatch):
    # The messages are built from the qualname as text; a replaced one used to be read as text.
    change(FN, monkeypatch)
    with pytest.raises(TypeError, match=rf"^{NAME}\(\) takes 2 positional arguments but 3 were given$"):
        FN(1, 2, 3)
    with pytest.raises(TypeError, match=rf"^{NAME}\(\) got an unexpected keyword argument 'x'$"):
        FN(x=1)
    assert repr(FN).startswith(f"<cython_function_or_method {NAME} at ")


def test_a_text_qualname_is_used_in_messages(monkeypatch):
    monkeypatch.setattr(FN, "__qualname__", "Renamed.thing")
    with pytest.raises(TypeError, match=r"^Renamed\.thing\(\) missing required argument 'bucketing'$"):
        FN()
