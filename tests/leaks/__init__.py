"""Reference-leak harness for the coordinator extension (see harness.py)."""
