"""A small pandas pipeline: generated orders per day stored as Parquet, revenue per region as an Arrow table."""
