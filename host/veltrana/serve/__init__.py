"""Serving: the application the front door builds, gunicorn, logins, limits and background jobs."""
