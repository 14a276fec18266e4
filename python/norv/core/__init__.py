"""Core of norv: the security-module contract and the native governance coordinator."""
