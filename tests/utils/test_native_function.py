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


def _finished_awaitable():
    from quorvex_analytics_utils.predictive_models.scorer_quality import dataset_quality as dq

    field = next(f for f in dq.DatasetQualityType.__strawberry_definition__.fields
                 if f.name == "performance")
    record = dq.DatasetQuality(sample=list(dq.SampleType)[0], target="t", performance={})
    return field.base_resolver.wrapped_func(None, record)


def _deliver(awaitable):
    with pytest.raises(StopIteration) as stop:
        awaitable.send(None)
    return stop.value.value


@pytest.mark.parametrize("spend", [
    _deliver,
    lambda aw: aw.close(),
    lambda aw: pytest.raises(KeyError, aw.throw, KeyError("k")),
])
def test_a_spent_awaitable_reports_reuse(spend):
    # Used to answer send() with a SystemError and a second await with a silent None.
    aw = _finished_awaitable()
    spend(aw)
    for again in (lambda: aw.send(None), lambda: next(aw)):
        with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
            again()


async def test_awaiting_twice_reports_reuse():
    aw = _finished_awaitable()
    assert await aw == []
    with pytest.raises(RuntimeError, match="already awaited"):
        await aw


def _traceback():
    try:
        raise KeyError
    except KeyError as e:
        return e.__traceback__


def test_send_of_a_value_before_start_is_refused():
    aw = _finished_awaitable()
    with pytest.raises(TypeError, match="^can't send non-None value to a just-started coroutine$"):
        aw.send(1)
    assert _deliver(aw) == []


@pytest.mark.parametrize("args, message", [
    ((ValueError("x"), 5), "^instance exception may not have a separate value$"),
    ((ValueError, 1, 5), "^throw\\(\\) third argument must be a traceback object$"),
    ((5,), "^exceptions must be classes or instances deriving from BaseException, not int$"),
])
def test_bad_throw_is_refused_and_keeps_the_value(args, message):
    # A dropped value or traceback went unseen; a refused call leaves the result deliverable.
    aw = _finished_awaitable()
    with pytest.raises(TypeError, match=message):
        aw.throw(*args)
    assert _deliver(aw) == []


def test_throw_raises_the_given_exception_with_its_traceback():
    aw = _finished_awaitable()
    tb = _traceback()
    with pytest.raises(ValueError, match="^1$") as raised:
        aw.throw(ValueError, 1, tb)
    names, tb_entry = [], raised.value.__traceback__
    while tb_entry is not None:
        names.append(tb_entry.tb_frame.f_code.co_name)
        tb_entry = tb_entry.tb_next
    assert names[-1] == "_traceback"
    with pytest.raises(RuntimeError):
        aw.send(None)


class _Interrupting:
    """A __dict__ key that collides with "__qualname__" and, once armed, interrupts comparisons."""

    armed = False

    def __hash__(self):
        return hash("__qualname__")

    def __eq__(self, other):
        if _Interrupting.armed:
            raise KeyboardInterrupt
        return False


@pytest.mark.parametrize("call", [
    lambda: FN(1, 2, 3),
    lambda: FN(x=1),
    lambda: FN(),
    lambda: repr(FN),
])
def test_an_interrupted_name_lookup_propagates(call, monkeypatch):
    # The lookup of the name for a message used to swallow every error, KeyboardInterrupt too.
    monkeypatch.setattr(FN, "__dict__", {_Interrupting(): 1, "__qualname__": "q"})
    monkeypatch.setattr(_Interrupting, "armed", True)
    with pytest.raises(KeyboardInterrupt):
        call()


def _functions():
    from quorvex_analytics_utils.predictive_models.feature_preparation import feature_bucketing as fbm
    from quorvex_analytics_utils.predictive_models.feature_preparation import feature_preparation as fpm
    from quorvex_analytics_utils.utils import dump, parse

    return [
        parse.parse_value,
        dump.filter_data,
        parse.StringFunctions._strip_quotes,                 # class method, bound to its class
        fpm.FeaturePreparation.apply_feature_bucketing,      # method of a record class
        fpm.FeaturePreparation.add_feature_bucketing,
        fbm.FeatureBucketing.bin_numeric_attribute,
    ]


@pytest.mark.parametrize("index", range(6))
def test_functions_pickle_by_reference_and_copy_as_themselves(index):
    # Worker pools and Dask ship functions by pickling them; they used to raise TypeError.
    import copy
    import pickle

    fn = _functions()[index]
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        back = pickle.loads(pickle.dumps(fn, protocol))
        assert back == fn and getattr(back, "__func__", back) is getattr(fn, "__func__", fn)
    assert copy.copy(fn) == fn
    assert copy.deepcopy({"f": fn})["f"] == fn


def test_a_bound_method_pickles_with_its_record():
    import pickle

    from quorvex_analytics_utils.predictive_models.feature_preparation.feature_preparation import (
        FeaturePreparation)

    prep = FeaturePreparation(binning=FeaturePreparation.add_feature_bucketing(
        {"age": {"dtype": "NUMERICAL", "bins": [float("-inf"), 30, float("inf")], "bin_vals": [1, 2]}}))
    method = pickle.loads(pickle.dumps(prep.binning[0].bin_numeric_attribute))
    assert method.__self__ == prep.binning[0] and method(40) == 2.0


def test_a_function_whose_name_no_longer_leads_to_it_is_refused_as_python_does(monkeypatch):
    import pickle

    monkeypatch.setattr(FN, "__qualname__", "nowhere")
    with pytest.raises(pickle.PicklingError):
        pickle.dumps(FN)
