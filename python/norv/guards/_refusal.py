"""The reference guards' refusal: its default text, and the check of one given."""

from __future__ import annotations

DEFAULT_REFUSAL = "I can't help with that: the request looks like an attempt to override my instructions."


def checked(message: object, setting: str = "refusal_message") -> str:
    """``message`` when it is a non-empty ``str``, else ValueError naming ``setting``.

    The coordinator recognises a refusal by equality with a true value: an
    empty message would make refusals look like sanitised prompts, and a str
    subclass could compare equal to what it is not."""
    if type(message) is not str or not message:
        raise ValueError(f"{setting} must be a non-empty str")
    return message
