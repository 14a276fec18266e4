"""Support code shared by norv's components."""
