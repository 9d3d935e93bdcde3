"""Low-level layer over the native engine."""
