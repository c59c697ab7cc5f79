"""The analyses behind the described cards: statistics, matrices and figures of each card."""
