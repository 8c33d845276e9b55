"""halvendrix: native numeric core of the recommender package."""
