"""Runs GraphQL selections over one record shown through its view type, on a real strawberry schema."""
import strawberry


async def query(view_type, record, selection):
    """Runs `selection` on a schema whose one field `item` returns `record` as `view_type`."""

    @strawberry.type
    class Query:
        @strawberry.field
        def item(self) -> view_type:
            return record

    return await strawberry.Schema(query=Query).execute("{ item " + selection + " }")
