"""Predictive scoring models and everything that travels with one, as native extension modules."""
