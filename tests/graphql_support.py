"""Runs GraphQL selections over records shown through their view types, on a real strawberry schema."""
import strawberry
from graphql import GraphQLList, GraphQLNonNull, GraphQLObjectType, GraphQLUnionType


async def query(view_type, record, selection):
    """Runs `selection` on a schema whose one field `item` returns `record` as `view_type`."""

    @strawberry.type
    class Query:
        @strawberry.field
        def item(self) -> view_type:
            return record

    return await strawberry.Schema(query=Query).execute("{ item " + selection + " }")


def full_selection(schema: strawberry.Schema, type_name: str) -> str:
    """The selection of every field of the named GraphQL type, nested types and union members included."""
    named = schema._schema.get_type(type_name)

    def select(graphql_type) -> str:
        while isinstance(graphql_type, (GraphQLNonNull, GraphQLList)):
            graphql_type = graphql_type.of_type
        if isinstance(graphql_type, GraphQLUnionType):
            return "{ __typename " + " ".join(
                f"... on {member.name} {select(member)}" for member in graphql_type.types) + " }"
        if isinstance(graphql_type, GraphQLObjectType):
            return "{ " + " ".join(
                f"{name} {select(field.type)}".rstrip() for name, field in graphql_type.fields.items()) + " }"
        return ""

    return select(named)
