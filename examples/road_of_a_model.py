"""The road of one model through quorvex_analytics_utils."""

from quorvex_analytics_utils.utils import parse, record_base


def main() -> None:
    print("== Value parsing")
    for raw in ["12", "12.0", "12.5", "'12'", "abc", str(2**60 + 1)]:
        print(f"  parse_value({raw!r}) -> {parse.parse_value(raw)!r}")
    print("== Record base")
    print("  RecordBase config:", dict(record_base.RecordBase.model_config))


if __name__ == "__main__":
    main()
