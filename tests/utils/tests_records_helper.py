"""A record class at module level, so that pickle can find it by name."""
from quorvex_analytics_utils.utils.record_base import RecordBase


class Pickled(RecordBase):
    name: str
    count: int = 0
