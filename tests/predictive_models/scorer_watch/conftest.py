import pytest
import strawberry


@pytest.fixture
def query():
    """Runs `selection` on a schema whose one field `item` returns `record` as `view_type`."""

    async def run(view_type, record, selection):
        @strawberry.type
        class Query:
            @strawberry.field
            def item(self) -> view_type:
                return record

        return await strawberry.Schema(query=Query).execute("{ item " + selection + " }")

    return run
