"""A small example pipeline: two source assets and a report built from them."""
