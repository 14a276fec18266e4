"""Guards whose verdicts are known word by word, loaded by `norv eval` in the tests (eval_guards:Name).

Words are matched case-insensitively:

* Words (input slot): refuses a prompt holding "attack"; raises on "boom" (a
  module error: the prompt goes on unscanned); raises SystemExit on "halt".
* Sneaky (neural slot): refuses a prompt holding "sneaky".
* Secrets (output slot): redacts "secret" to "[X]".
* Members: a Chain of Words and Sneaky, both able to give findings.
"""

from __future__ import annotations

from typing import Any

from norv.guards import Chain


class _Refuser:
    word = ""
    refusal_message = "refused"

    def findings(self, content: str) -> list[dict[str, Any]]:
        at = content.lower().find(self.word)
        return [{"category": self.word, "span": [at, at + len(self.word)]}] if at >= 0 else []

    def scan(self, content: str, metadata: dict[str, Any] | None = None) -> str:
        return self.refusal_message if self.word in content.lower() else content


class Words(_Refuser):
    word = "attack"

    def warm(self) -> None:
        pass

    def scan(self, content: str, metadata: dict[str, Any] | None = None) -> str:
        lowered = content.lower()
        if "boom" in lowered:
            raise ValueError("boom")
        if "halt" in lowered:
            raise SystemExit(7)
        return super().scan(content, metadata)


class Sneaky(_Refuser):
    word = "sneaky"


class Secrets:
    def scan(self, content: str, metadata: dict[str, Any] | None = None) -> str:
        at = content.lower().find("secret")
        return content if at < 0 else content[:at] + "[X]" + content[at + len("secret"):]


def Members() -> Chain:
    return Chain(Words(), Sneaky())
