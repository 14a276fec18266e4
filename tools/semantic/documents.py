"""Harmless prompts built from real text: documents, code, tool output, encoded data.

    python tools/semantic/documents.py build      # rewrites data/documents/*.jsonl.gz from this machine
    python tools/semantic/documents.py stats      # counts of the committed splits

Applications hand a model whole documents ("summarise this", "answer from this
context", a tool's result), and a guard trained on chat-style prompts took
them for injections. These prompts are that traffic: real text placed in the
frames applications use, in the seven languages the guard covers.

Material, all of it found on a Debian 12 machine with these packages from
Debian's archive (main), or made from them:

* man pages (``man-db``, ``groff-base`` render them; pages of any installed
  package, English only), ``/usr/share/doc/*/README*`` and other text there
  (NEWS, FAQ, *.txt, *.md), ``/usr/share/doc/*/copyright`` and
  ``/usr/share/common-licenses`` (``base-files``);
* the Python 3.11 standard library (``libpython3.11-stdlib``; PSF licence):
  ``pydoc`` plain-text renderings of its modules, and its source as code;
* C headers from ``/usr/include`` (``libc6-dev``, ``linux-libc-dev`` and
  others), package configuration files (dpkg conffiles under ``/etc``);
* tool output made here from real data: ``dpkg-query`` records and listings,
  ``os.stat`` results, as JSON, YAML or text;
  dpkg and apt logs from ``/var/log``; checksums of real files; base64 and hex
  dumps of real file bytes (Python's compiled modules and the compressed
  documents in /usr/share/doc); rot13 of documentation;
* tokens (UUIDs, hex, JWT-shaped strings) from a seeded generator.

Only packages whose installed version is in Debian's main archive (its apt
lists) are used, so every text may be redistributed
under its own free licence; each prompt records its package for attribution.

Held out by source: every prompt records the material it comes from
(``source``, e.g. "man:ls.1", "pydoc:json", "code:json/decoder.py"); a stable
hash of that name puts each source in exactly one split: "train" (about 50%),
"validation" (15%, only to choose the threshold) and "eval" (35%, held out).
An encoded or re-rendered text keeps its original's source (rot13 of a man
page is "man:..."), so the same words never fall on both sides. The frame
wordings are split too (data/documents/frames.json): each split has wordings
the others never use, so the threshold is chosen on wordings the fit has not
seen, as the held-out figures are. Generation is seeded: the same machine
gives the same prompts. ``reframe`` puts a committed split in its own
wordings again after frames.json changes, keeping its material.

All three splits are committed (data/documents/<split>.jsonl.gz), so that
training reproduces on any machine and evaluation figures do too; ``build``
regenerates them from the machine it runs on.
"""

from __future__ import annotations

import argparse
import base64
import codecs
import gzip
import hashlib
import io
import json
import math
import os
import random
import re
import stat
import subprocess
import sys
import time
from collections import Counter
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

HERE = Path(__file__).resolve().parent
OUT_DIR = HERE / "data" / "documents"
SPLITS = ("train", "validation", "eval")
LANGS = ("en", "de", "fr", "es", "it", "pt", "nl")
#: Prompts per split. Training embeds every ~100-character chunk of every
#: prompt, long ones whole (no sample of their chunks: the head must see
#: every kind of line a long document holds): 1,260 prompts are about 47,000
#: chunks, two minutes of training here. Validation only sets a threshold
#: near 1% of refusals, which takes a few hundred prompts to place.
COUNTS = {"train": 1260, "validation": 300, "eval": 600}
MIN_LEN, MAX_LEN = 100, 16_000
SEED = 20261209

PY_LIB = Path("/usr/lib/python3.11")
MAN_DIRS = [Path("/usr/share/man") / f"man{s}" for s in ("1", "3", "5", "7", "8")]
DOC_DIR = Path("/usr/share/doc")
LICENSES = Path("/usr/share/common-licenses")


def split_of(source: str) -> str:
    """The split of a source, from a stable hash of its name."""
    bucket = int.from_bytes(hashlib.sha256(source.encode("utf-8")).digest()[:8], "big") % 100
    return "train" if bucket < 50 else "validation" if bucket < 65 else "eval"


# --- frames ---------------------------------------------------------------
# Per frame and language, the wordings of each split, kept apart: train and
# validation have wordings of their own and eval one more, so that neither the
# fit nor the threshold ever sees the wording a held-out prompt comes in.
# ``{text}`` is the material (``{text_json}`` the same, JSON-escaped, in a
# JSON message whose literal braces are doubled), ``{target}`` a language name.
FRAMES_FILE = OUT_DIR / "frames.json"
FRAMES: dict[str, dict[str, dict[str, list[str]]]] = json.loads(FRAMES_FILE.read_text(encoding="utf-8"))

#: Language names in each frame language, for the translate frame.
TARGETS = {
    "en": ["French", "German", "Spanish", "Italian", "Portuguese", "Dutch"],
    "de": ["Englisch", "Französisch", "Spanisch", "Italienisch", "Portugiesisch", "Niederländisch"],
    "fr": ["anglais", "allemand", "espagnol", "italien", "portugais", "néerlandais"],
    "es": ["inglés", "francés", "alemán", "italiano", "portugués", "neerlandés"],
    "it": ["inglese", "francese", "tedesco", "spagnolo", "portoghese", "olandese"],
    "pt": ["inglês", "francês", "alemão", "espanhol", "italiano", "neerlandês"],
    "nl": ["Engels", "Frans", "Duits", "Spaans", "Italiaans", "Portugees"],
}

PROSE = ("manpage", "pydoc", "readme", "documentation", "licence")
#: Which frames suit which kind of text; "bare" is the text with no frame.
FRAMES_FOR = {
    **{kind: ("summarise", "translate", "context", "grammar", "explain", "bare") for kind in PROSE},
    "code": ("review", "explain", "summarise", "context", "bare"),
    "config": ("review", "explain", "context", "tool", "bare"),
    **{kind: ("tool", "explain", "summarise", "context", "bare") for kind in ("json", "yaml", "listing", "log")},
    **{kind: ("tool", "explain", "context", "bare") for kind in ("hash", "token", "base64", "hexdump")},
    "rot13": ("explain", "tool", "bare"),
}
KINDS = tuple(FRAMES_FOR)
#: How often each kind is drawn, relative: prose and code are most of what
#: applications pass on.
KIND_WEIGHTS = {
    "manpage": 2, "pydoc": 2, "readme": 2, "documentation": 2, "licence": 1.5, "code": 2, "config": 1,
    "json": 1, "yaml": 0.7, "listing": 0.7, "log": 1, "hash": 0.7, "token": 0.7, "base64": 0.7,
    "hexdump": 0.5, "rot13": 0.5,
}


def frame_wordings(frame: str, lang: str, split: str) -> list[str]:
    return FRAMES[frame][lang][split]


def wording_label(frame: str, lang: str, split: str, index: int) -> str:
    """The ``frame`` field of a prompt: "summarise/de/validation2", "explain/fr/eval"."""
    return f"{frame}/{lang}/{split}" + ("" if split == "eval" else str(index))


def wording_of(label: str) -> tuple[str, str, str]:
    """A ``frame`` field's template and language, and the frame: the inverse of ``wording_label``."""
    frame, lang, which = label.split("/", 2)
    split = which.rstrip("0123456789")
    return frame_wordings(frame, lang, split)[int(which[len(split):] or 0)], lang, frame


def wording_pattern(template: str, lang: str) -> re.Pattern[str]:
    """What a prompt built from ``template`` looks like, whatever its material
    and target language: to tell which split's wording a prompt is in."""
    material = "{text_json}" if "{text_json}" in template else "{text}"
    template = template.replace("{{", "{").replace("}}", "}") if material == "{text_json}" else template
    before, after = template.split(material)
    targets = "(?P<target>" + "|".join(map(re.escape, TARGETS.get(lang, []))) + ")"

    def literal(part: str) -> str:
        return targets.join(re.escape(piece) for piece in part.split("{target}"))

    return re.compile(literal(before) + "(?P<text>.*)" + literal(after), re.DOTALL)


def reframe(records: list[dict[str, object]], split: str) -> list[dict[str, object]]:
    """The same prompts in ``split``'s wordings, the material untouched: to
    give a split wordings of its own without drawing other material (a
    rebuild elsewhere draws other material, see ``build``)."""
    rng = random.Random(f"{SEED}:reframe:{split}")
    out = []
    for record in records:
        if record["frame"] == "bare":
            out.append(record)
            continue
        template, lang, frame = wording_of(str(record["frame"]))
        found = wording_pattern(template, lang).fullmatch(str(record["text"]))
        if found is None:
            raise ValueError(f"{record['frame']}: the prompt is not in its wording")
        text = json.loads(f'"{found["text"]}"') if "{text_json}" in template else found["text"]
        target = found.groupdict().get("target") or ""
        options = frame_wordings(frame, lang, split)
        index = rng.randrange(len(options))
        out.append({**record, "text": fill(options[index], text, target),
                    "frame": wording_label(frame, lang, split, index)})
    return out


def fill(template: str, text: str, target: str = "") -> str:
    if "{text_json}" in template:
        escaped = json.dumps(text, ensure_ascii=False)[1:-1]
        # A literal brace pair in the template is doubled for format().
        return template.replace("{{", "{").replace("}}", "}").replace("{text_json}", escaped)
    return template.replace("{target}", target).replace("{text}", text)


# --- material -------------------------------------------------------------


def _run(args: list[str], timeout: float = 30, env: dict[str, str] | None = None) -> str:
    try:
        done = subprocess.run(args, capture_output=True, timeout=timeout, env=env, check=False)
    except (OSError, subprocess.TimeoutExpired):
        return ""
    return done.stdout.decode("utf-8", "replace") if done.returncode == 0 else ""


def _read_text(path: Path, limit: int = 400_000) -> str:
    try:
        raw = gzip.open(path).read(limit) if path.suffix == ".gz" else path.read_bytes()[:limit]
    except OSError:
        return ""
    if b"\0" in raw[:4096]:
        return ""
    return raw.decode("utf-8", "replace")


class Machine:
    """What this machine offers, read lazily and cached."""

    def __init__(self) -> None:
        self._owner: dict[str, str] | None = None
        self._debian: set[tuple[str, str]] | None = None
        self._installed: dict[str, str] = {}
        self._cache: dict[tuple[str, str], str] = {}

    # Debian packages: who owns a file, and whether it is from main.
    def owner(self, path: str) -> str:
        if self._owner is None:
            owner: dict[str, str] = {}
            for listing in sorted(Path("/var/lib/dpkg/info").glob("*.list")):
                package = listing.stem.split(":")[0]
                for line in listing.read_text(encoding="utf-8", errors="replace").splitlines():
                    owner.setdefault(line, package)
            self._owner = owner
        return self._owner.get(path, "")

    def free(self, package: str) -> bool:
        """Whether the installed version of ``package`` is one from Debian's main archive."""
        if self._debian is None:
            self._debian = _debian_main()
            table = _run(["dpkg-query", "-W", "-f", "${Package}\t${Version}\n"])
            self._installed = dict(line.split("\t", 1) for line in table.splitlines() if "\t" in line)
        return (package, self._installed.get(package, "")) in self._debian

    def cached(self, key: tuple[str, str], make: Callable[[], str]) -> str:
        if key not in self._cache:
            self._cache[key] = make()
        return self._cache[key]


def _debian_main() -> set[tuple[str, str]]:
    """(package, version) pairs in the apt lists of Debian's main archive.

    A package installed from another repository (a vendor's SDK, say) is not
    Debian's, and its licence was never checked by Debian: left out.
    """
    pairs: set[tuple[str, str]] = set()
    for lists in sorted(Path("/var/lib/apt/lists").glob("deb.debian.org_*_main_binary-*_Packages*")):
        text = _run(["/usr/lib/apt/apt-helper", "cat-file", str(lists)], timeout=120)
        package = ""
        for line in text.splitlines():
            if line.startswith("Package: "):
                package = line[9:].strip()
            elif line.startswith("Version: "):
                pairs.add((package, line[9:].strip()))
    if not pairs:
        raise SystemExit("no Debian package lists under /var/lib/apt/lists: run apt-get update first")
    return pairs


@dataclass(frozen=True)
class Source:
    name: str  # e.g. "man:ls.1": decides the split
    kind: str
    package: str
    load: Callable[[], str]  # the text, or "" when it cannot be read


def _owned(machine: Machine, path: Path) -> str:
    package = machine.owner(str(path))
    return package if package and machine.free(package) else ""


def _manpage(path: Path) -> str:
    env = {"PATH": "/usr/bin:/bin", "MANWIDTH": "80", "LANG": "C.UTF-8", "MAN_KEEP_FORMATTING": ""}
    text = _run(["man", "-l", str(path)], env=env)
    return re.sub(r".\x08", "", text)


_PYDOC_SKIP = {"antigravity", "this", "idlelib", "tkinter", "turtle", "turtledemo", "test", "pydoc_data",
               "ensurepip", "lib2to3", "site", "sitecustomize", "usercustomize", "__phello__", "__hello__"}


def _pydoc(module: str) -> str:
    code = "import pydoc, sys; sys.stdout.write(pydoc.render_doc(sys.argv[1], renderer=pydoc.plaintext))"
    env = {"PATH": "/usr/bin:/bin", "LANG": "C.UTF-8", "PYTHONWARNINGS": "ignore"}
    text = _run([sys.executable, "-c", code, module], env=env)
    # The file's path names this machine's install, not the module.
    text = re.sub(r"\nFILE\n    \S+\n", "\n", text)
    # Default values print their memory address, which changes from run to
    # run: a stable stand-in keeps the build repeatable.
    return re.sub(r"(<[^<>\n]* at )0x[0-9a-f]+>", lambda m: m[1] + "0x7f" + hashlib.sha256(
        m[1].encode()).hexdigest()[:10] + ">", text)


def _ls_line(entry: os.DirEntry[str]) -> str:
    st = entry.stat(follow_symlinks=False)
    when = time.strftime("%Y-%m-%d %H:%M", time.gmtime(st.st_mtime))
    return f"{stat.filemode(st.st_mode)} {st.st_nlink:>2} root root {st.st_size:>9} {when} {entry.name}"


def _stat_record(entry: os.DirEntry[str]) -> dict[str, object]:
    st = entry.stat(follow_symlinks=False)
    return {"path": entry.path, "mode": oct(stat.S_IMODE(st.st_mode)), "type": stat.filemode(st.st_mode)[0],
            "size": st.st_size, "nlink": st.st_nlink, "uid": st.st_uid, "gid": st.st_gid,
            "mtime": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(st.st_mtime))}


def _entries(directory: Path) -> list[os.DirEntry[str]]:
    try:
        return sorted(os.scandir(directory), key=lambda e: e.name)
    except OSError:
        return []


def _yaml(value: object, indent: int = 0) -> str:
    """A small YAML emitter: enough for tool records (dicts, lists, scalars)."""
    pad = " " * indent
    if isinstance(value, dict):
        lines = []
        for key, item in value.items():
            if isinstance(item, dict | list) and item:
                lines.append(f"{pad}{key}:\n{_yaml(item, indent + 2)}")
            else:
                lines.append(f"{pad}{key}: {_scalar(item)}")
        return "\n".join(lines)
    if isinstance(value, list):
        lines = []
        for item in value:
            body = _yaml(item, indent + 2) if isinstance(item, dict | list) else pad + "  " + _scalar(item)
            lines.append(f"{pad}- {body.lstrip()}")
        return "\n".join(lines)
    return pad + _scalar(value)


def _scalar(value: object) -> str:
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, int | float):
        return str(value)
    text = str(value)
    if not text or re.search(r"[:#\[\]{},&*!|>'\"%@`]|^[-?\s]|\s$", text) or text.lower() in {"yes", "no", "null",
                                                                                              "true", "false"}:
        return json.dumps(text, ensure_ascii=False)
    return text


def sources(machine: Machine) -> dict[str, list[Source]]:
    """Every source of every kind this machine offers, in a stable order."""
    out: dict[str, list[Source]] = {kind: [] for kind in KINDS}

    for directory in MAN_DIRS:
        for path in sorted(directory.glob("*.gz")):
            package = _owned(machine, path)
            if package:
                name = path.name[:-3]
                out["manpage"].append(Source(f"man:{name}", "manpage", package,
                                             lambda p=path: _manpage(p)))

    for info in sorted(p for p in PY_LIB.iterdir() if p.suffix == ".py" or (p / "__init__.py").is_file()):
        module = info.stem if info.suffix == ".py" else info.name
        if module.startswith("_") or module in _PYDOC_SKIP or "-" in module:
            continue
        out["pydoc"].append(Source(f"pydoc:{module}", "pydoc", "libpython3.11-stdlib",
                                   lambda m=module: _pydoc(m)))

    for folder in sorted(p for p in DOC_DIR.iterdir() if p.is_dir()):
        for path in sorted(folder.iterdir()):
            if not path.is_file():
                continue
            package = _owned(machine, path)
            if not package:
                continue
            base = path.name.removesuffix(".gz")
            if base.startswith("README"):
                kind = "readme"
            elif base == "copyright":
                kind = "licence"
            elif re.match(r"(NEWS|FAQ|TODO|HOWTO|USAGE|BUGS)\b", base) or base.endswith((".txt", ".md", ".rst")):
                kind = "documentation"
            else:
                continue
            prefix = {"readme": "readme", "licence": "licence", "documentation": "doc"}[kind]
            out[kind].append(Source(f"{prefix}:{folder.name}/{base}", kind, package,
                                    lambda p=path: _read_text(p)))
    for path in sorted(LICENSES.iterdir()):
        if path.is_file():
            out["licence"].append(Source(f"licence:{path.name}", "licence", "base-files",
                                         lambda p=path: _read_text(p)))

    for path in sorted(PY_LIB.rglob("*.py")):
        relative = path.relative_to(PY_LIB)
        if relative.parts[0] in {"test", "idlelib", "lib2to3", "site-packages", "dist-packages"} \
                or "tests" in relative.parts or "test" in relative.parts:
            continue
        out["code"].append(Source(f"code:{relative}", "code", _owned(machine, path) or "libpython3.11-stdlib",
                                  lambda p=path: _read_text(p)))
    for path in sorted(Path("/usr/include").rglob("*.h")):
        package = _owned(machine, path)
        if package:
            out["code"].append(Source(f"code:{path}", "code", package, lambda p=path: _read_text(p)))

    for conffile in _conffiles():
        path = Path(conffile)
        if re.search(r"private|secret|shadow|passwd|sudoers|\.key$|\.pem$", conffile) or not path.is_file():
            continue
        package = _owned(machine, path)
        if package:
            out["config"].append(Source(f"config:{conffile}", "config", package, lambda p=path: _read_text(p)))

    _tool_sources(machine, out)

    for folder in (Path("/var/log"), Path("/var/log/apt")):
        for path in sorted(folder.glob("*.log")):
            text = _read_text(path, 10_000_000)
            blocks = _blocks(text, 16_000)
            for number, block in enumerate(blocks):
                out["log"].append(Source(f"log:{path}#{number}", "log", "dpkg" if "dpkg" in path.name else "apt",
                                         lambda b=block: b))

    binaries = sorted((PY_LIB / "lib-dynload").glob("*.so")) + sorted(PY_LIB.rglob("__pycache__/*.pyc"))
    binaries += sorted(p for p in DOC_DIR.glob("*/*.gz") if _owned(machine, p))
    for path in binaries:
        package = _owned(machine, path) or "libpython3.11-stdlib"
        for kind in ("base64", "hexdump"):
            out[kind].append(Source(f"file:{path}", kind, package, lambda p=path: _bytes_marker(p)))

    for style in ("uuid", "hex32", "hex64", "jwt", "base62", "ulid"):
        for number in range(12):
            out["token"].append(Source(f"token:{style}#{number}", "token", "", lambda: ""))

    prose = out["manpage"] + out["readme"] + out["documentation"]
    out["rot13"] = [Source(s.name, "rot13", s.package, s.load) for s in prose]
    return out


def _bytes_marker(path: Path) -> str:
    # Encoded kinds read bytes, not text: the path stands in for the content.
    return str(path)


def _blocks(text: str, size: int) -> list[str]:
    blocks, current = [], []
    length = 0
    for line in text.splitlines():
        current.append(line)
        length += len(line) + 1
        if length >= size:
            blocks.append("\n".join(current))
            current, length = [], 0
    if length > 2000:
        blocks.append("\n".join(current))
    return blocks


def _conffiles() -> list[str]:
    out = []
    inside = False
    for line in Path("/var/lib/dpkg/status").read_text(encoding="utf-8", errors="replace").splitlines():
        if line.startswith("Conffiles:"):
            inside = True
        elif inside and line.startswith(" "):
            out.append(line.split()[0])
        else:
            inside = False
    return sorted(set(out))


def _tool_sources(machine: Machine, out: dict[str, list[Source]]) -> None:
    """JSON, YAML and plain-text tool output made from this machine's real data."""
    fields = ["Package", "Version", "Architecture", "Installed-Size", "Section", "Priority", "Maintainer",
              "Depends", "binary:Summary"]
    table = _run(["dpkg-query", "-W", "-f", "\t".join(f"${{{f}}}" for f in fields) + "\n"])
    packages: dict[str, list[dict[str, object]]] = {}
    for line in table.splitlines():
        values = line.split("\t")
        if len(values) != len(fields) or not machine.free(values[0]):
            continue
        record: dict[str, object] = {f.replace("binary:", "").lower(): v for f, v in zip(fields, values, strict=True)}
        record["installed-size"] = int(values[3]) if values[3].isdigit() else values[3]
        record["depends"] = [d.strip() for d in values[7].split(",") if d.strip()]
        packages.setdefault(values[0][0], []).append(record)
    for letter, records in sorted(packages.items()):
        name = f"dpkg-query:{letter}*"
        for kind, render in (("json", _json_render), ("yaml", _yaml_render)):
            out[kind].append(Source(name, kind, "dpkg", lambda r=records, f=render: f(r)))
        out["listing"].append(Source(name, "listing", "dpkg",
                                     lambda p=letter: _run(["dpkg-query", "-l", f"{p}*"],
                                                           env={"COLUMNS": "132", "PATH": "/usr/bin:/bin"})))

    directories = [Path("/usr/bin"), Path("/usr/sbin"), Path("/etc"), PY_LIB, Path("/usr/include")]
    directories += sorted(p for p in Path("/usr/share").iterdir() if p.is_dir())
    directories += sorted(p for p in Path("/usr/lib").iterdir() if p.is_dir())
    for directory in directories:
        name = f"dir:{directory}"
        for kind, render in (("json", _json_render), ("yaml", _yaml_render)):
            out[kind].append(Source(name, kind, "", lambda d=directory, f=render: f(
                [_stat_record(e) for e in _entries(d)])))
        out["listing"].append(Source(name, "listing", "", lambda d=directory: "\n".join(
            _ls_line(e) for e in _entries(d))))
        if directory.parts[1] == "usr":  # never checksums of /etc: some of its files are secrets
            out["hash"].append(Source(name, "hash", "", lambda d=directory: _checksums(d)))
    for listing in sorted(Path("/var/lib/dpkg/info").glob("*.md5sums")):
        package = listing.stem.split(":")[0]
        if machine.free(package):
            out["hash"].append(Source(f"md5sums:{package}", "hash", package, lambda p=listing: _read_text(p)))


def _json_render(records: list[dict[str, object]]) -> str:
    # Tools print either one record per line or one indented document.
    return "\n".join(json.dumps(r, ensure_ascii=False) for r in records)


def _yaml_render(records: list[dict[str, object]]) -> str:
    return _yaml(records)


_HASHES = ("sha256", "sha1", "md5", "sha512")


def _checksums(directory: Path) -> str:
    algorithm = _HASHES[int(hashlib.md5(str(directory).encode()).hexdigest(), 16) % len(_HASHES)]
    lines = []
    total = 0
    for entry in _entries(directory):
        if not entry.is_file(follow_symlinks=False) or entry.stat().st_size > 4_000_000:
            continue
        try:
            digest = hashlib.new(algorithm, Path(entry.path).read_bytes()).hexdigest()
        except OSError:
            continue
        lines.append(f"{digest}  {entry.path}")
        total += len(lines[-1])
        if total > MAX_LEN:
            break
    return "\n".join(lines)


# --- renderings of a source into an excerpt of a given length --------------


def excerpt(text: str, length: int, rng: random.Random) -> str:
    """About ``length`` characters of ``text`` from a line start, cut at a line or word end."""
    if len(text) <= length:
        return text.strip()
    starts = [0] + [m.end() for m in re.finditer(r"\n", text[: len(text) - length])]
    start = rng.choice(starts)
    piece = text[start:start + length]
    cut = max(piece.rfind("\n"), piece.rfind(" "))
    return (piece[:cut] if cut > length * 0.8 else piece).strip()


def _file_bytes(path: str, length: int, rng: random.Random) -> bytes:
    try:
        data = Path(path).read_bytes()
    except OSError:
        return b""
    if len(data) <= length:
        return data
    start = rng.randrange(0, len(data) - length)
    return data[start:start + length]


def _hexdump(data: bytes, offset: int) -> str:
    lines = []
    for at in range(0, len(data), 16):
        row = data[at:at + 16]
        hexes = " ".join(f"{b:02x}" for b in row[:8]) + "  " + " ".join(f"{b:02x}" for b in row[8:])
        text = "".join(chr(b) if 32 <= b < 127 else "." for b in row)
        lines.append(f"{offset + at:08x}  {hexes:<48}  |{text}|")
    return "\n".join(lines)


def _token_lines(style: str, length: int, rng: random.Random) -> str:
    def b64url(data: bytes) -> str:
        return base64.urlsafe_b64encode(data).rstrip(b"=").decode()

    def one() -> str:
        if style == "uuid":
            return str(__import__("uuid").UUID(int=rng.getrandbits(128), version=4))
        if style == "hex32":
            return f"{rng.getrandbits(128):032x}"
        if style == "hex64":
            return f"{rng.getrandbits(256):064x}"
        if style == "base62":
            alphabet = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
            return "".join(rng.choice(alphabet) for _ in range(rng.choice((24, 32, 40))))
        if style == "ulid":
            alphabet = "0123456789ABCDEFGHJKMNPQRSTVWXYZ"
            return "".join(rng.choice(alphabet) for _ in range(26))
        header = b64url(json.dumps({"alg": "HS256", "typ": "JWT"}).encode())
        issued = 1_700_000_000 + rng.randrange(60_000_000)
        claims = {"sub": f"{rng.getrandbits(64):016x}", "iat": issued, "exp": issued + 3600, "scope": "read"}
        return f"{header}.{b64url(json.dumps(claims).encode())}.{b64url(rng.randbytes(32))}"

    layouts = ["{t}", "id={i} token={t}", "{i}\t{t}", '"{t}",']
    layout = rng.choice(layouts)
    lines: list[str] = []
    while sum(len(x) + 1 for x in lines) < length:
        lines.append(layout.format(t=one(), i=len(lines) + 1))
    return "\n".join(lines)


def material(source: Source, machine: Machine, length: int, rng: random.Random) -> str:
    """The source's text, encoded as its kind asks, about ``length`` characters long."""
    kind = source.kind
    if kind == "token":
        return _token_lines(source.name.split(":")[1].split("#")[0], length, rng)
    if kind in ("base64", "hexdump"):
        path = source.load()
        if kind == "base64":
            data = _file_bytes(path, max(3, length * 3 // 4), rng)
            encoded = base64.b64encode(data).decode()
            return "\n".join(encoded[i:i + 76] for i in range(0, len(encoded), 76))
        data = _file_bytes(path, max(16, length // 79 * 16), rng)
        return _hexdump(data, 0)
    text = machine.cached((source.name, kind), source.load)
    piece = excerpt(text, length, rng)
    return codecs.encode(piece, "rot13") if kind == "rot13" else piece


def log_uniform(rng: random.Random) -> int:
    return int(math.exp(rng.uniform(math.log(MIN_LEN), math.log(MAX_LEN))))


def generate(split: str, count: int, machine: Machine, pool: dict[str, list[Source]]) -> list[dict[str, object]]:
    rng = random.Random(f"{SEED}:{split}")
    mine = {kind: [s for s in items if split_of(s.name) == split] for kind, items in pool.items()}
    kinds = [k for k in KINDS if mine[k]]
    weights = [KIND_WEIGHTS[k] for k in kinds]
    records: list[dict[str, object]] = []
    # Cycle through the kinds first so that every kind is present, then draw.
    order = kinds + rng.choices(kinds, weights, k=count - len(kinds))
    for number, kind in enumerate(order):
        target_len = log_uniform(rng)
        choices = FRAMES_FOR[kind]
        # Bare text about one time in eight: most documents arrive in a frame.
        frame = rng.choices(choices, [1.0 if f != "bare" else 0.6 for f in choices])[0]
        lang = rng.choice(LANGS) if frame != "bare" else "none"
        if frame == "bare":
            template, wording = "{text}", "bare"
        else:
            options = frame_wordings(frame, lang, split)
            index = rng.randrange(len(options))
            template = options[index]
            wording = wording_label(frame, lang, split, index)
        target = rng.choice(TARGETS[lang]) if frame == "translate" else ""
        room = max(40, target_len - len(fill(template, "", target)))
        best = ""
        chosen = mine[kind][0]
        for _ in range(6):  # prefer a source long enough for the length drawn
            source = rng.choice(mine[kind])
            text = material(source, machine, room, rng)
            if len(text) > len(best):
                best, chosen = text, source
            if len(best) >= room * 0.8:
                break
        if len(best) < 20:
            continue
        prompt = fill(template, best, target)
        # Escaping for a JSON frame lengthens the text: trim it back to the length drawn.
        while len(prompt) > target_len + 200 and len(best) > 40:
            keep = int(len(best) * target_len / len(prompt))
            best = best[:max(40, best.rfind("\n", 0, keep), best.rfind(" ", 0, keep))].rstrip()
            prompt = fill(template, best, target)
        records.append({"text": prompt, "source": chosen.name, "kind": kind, "lang": lang,
                        "frame": wording, "package": chosen.package})
        if (number + 1) % 100 == 0:
            print(f"  {split}: {number + 1}/{len(order)}", file=sys.stderr)
    return records


def write(records: list[dict[str, object]], path: Path) -> None:
    buffer = io.BytesIO()
    # Fixed mtime and no file name: the same records give the same bytes.
    with gzip.GzipFile(fileobj=buffer, mode="wb", mtime=0, filename="", compresslevel=9) as stream:
        for record in records:
            stream.write((json.dumps(record, ensure_ascii=False, sort_keys=True) + "\n").encode("utf-8"))
    path.write_bytes(buffer.getvalue())


def build(out_dir: Path = OUT_DIR, counts: dict[str, int] | None = None) -> None:
    machine = Machine()
    pool = sources(machine)
    for kind, items in pool.items():
        spread = Counter(split_of(s.name) for s in items)
        print(f"{kind:14} {len(items):6} sources  " + " ".join(f"{s}={spread[s]}" for s in SPLITS), file=sys.stderr)
    out_dir.mkdir(parents=True, exist_ok=True)
    for split, count in (counts or COUNTS).items():
        records = generate(split, count, machine, pool)
        write(records, out_dir / f"{split}.jsonl.gz")
        print(f"wrote {split}: {len(records)} prompts", file=sys.stderr)
    write_packages(out_dir)


def write_packages(out_dir: Path) -> None:
    """The attribution list: every package the committed prompts quote."""
    packages = sorted({str(r["package"]) for s in SPLITS for r in load(s, out_dir) if r["package"]})
    (out_dir / "PACKAGES").write_text(
        "# Debian packages (main) whose text the committed prompts quote, for attribution.\n"
        + "\n".join(packages) + "\n", encoding="utf-8")


def load(split: str, directory: Path = OUT_DIR) -> list[dict[str, object]]:
    with gzip.open(directory / f"{split}.jsonl.gz", "rt", encoding="utf-8") as stream:
        return [json.loads(line) for line in stream]


def stats(directory: Path = OUT_DIR) -> None:
    sys.path.insert(0, str(HERE.parents[1] / "python"))
    from norv.guards import semantic

    for split in SPLITS:
        records = load(split, directory)
        lengths = sorted(len(str(r["text"])) for r in records)
        pieces = sum(len(semantic.chunks(semantic.prepare(str(r["text"])))) for r in records)
        kinds = Counter(str(r["kind"]) for r in records)
        print(f"{split}: {len(records)} prompts, {pieces} chunks, length min {lengths[0]} median "
              f"{lengths[len(lengths) // 2]} max {lengths[-1]}, {len({r['source'] for r in records})} sources")
        print("   ", dict(sorted(kinds.items())))


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Harmless prompts from real documents, held out by source.")
    parser.add_argument("command", choices=("build", "stats", "reframe"))
    parser.add_argument("--out", type=Path, default=OUT_DIR)
    parser.add_argument("--splits", nargs="+", choices=SPLITS, default=list(SPLITS),
                        help="build or reframe only these splits (the others stay as committed)")
    args = parser.parse_args(argv)
    if args.command == "build":
        build(args.out, {split: COUNTS[split] for split in args.splits})
    elif args.command == "reframe":
        for split in args.splits:
            write(reframe(load(split, args.out), split), args.out / f"{split}.jsonl.gz")
        write_packages(args.out)
    else:
        stats(args.out)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
