"""The ``norv`` command line: ``norv screen`` (below), ``norv serve`` (:mod:`norv.cli.serve`) and
``norv eval`` (:mod:`norv.cli.evaluate`, whose statuses follow the same kinds).

Exit statuses: :data:`norv.vocabulary.EXIT`, with what each means in
:data:`norv.vocabulary.EXIT_MEANING` (the ``--help`` epilogue); docs/command.md
has the table.
"""

from __future__ import annotations

import argparse
import io
import os
import sys
from typing import Any, NoReturn

import norv

__all__ = ["build_parser", "main"]


class _UsageError(Exception):
    pass


class _Parser(argparse.ArgumentParser):
    # argparse prints the usage block and exits; the command promises one line.
    def error(self, message: str) -> NoReturn:
        raise _UsageError(f"{self.prog}: error: {message} (see {self.prog} --help)")


def _whole(text: str, unit: str, minimum: int, why: str = "") -> int:
    """``text`` as a whole number of ``unit`` of at least ``minimum``, or the option's one-line error."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number of {unit}, got {text!r}") from None
    if value < minimum:
        raise argparse.ArgumentTypeError(why.format(value=value) or f"must be at least {minimum}, got {value}")
    return value


def _timeout_ms(text: str) -> int:
    # The coordinator accepts 0 and negative limits, but then every scan times
    # out at once: a screening run would report nothing while looking clean.
    return _whole(text, "milliseconds", 1)


def _jobs(text: str) -> int:
    value = _whole(text, "processes", 0, "must be 0 (one per core) or more, got {value}")
    if value == 0:
        value = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else (os.cpu_count() or 1)
    return value


def _max_chars(text: str) -> int:
    return _whole(text, "characters", 1)


def _max_line_bytes(text: str) -> int:
    return _whole(text, "bytes", 1)


def _keep_keys(text: str) -> tuple[str, ...]:
    from norv.cli.records import RESERVED_KEYS

    keys = tuple(dict.fromkeys(key.strip() for key in text.split(",") if key.strip()))
    if not keys:
        raise argparse.ArgumentTypeError(f"expected comma-separated key names, got {text!r}")
    reserved = [key for key in keys if key in RESERVED_KEYS]
    if reserved:
        raise argparse.ArgumentTypeError(f"{reserved[0]!r} is a key of records or of result lines, not an extra one")
    return keys


def add_guard_options(parser: argparse.ArgumentParser) -> None:
    """The three guard options, as ``norv screen`` and ``norv eval`` take them."""
    from norv.cli.settings import DEFAULT_INPUT_GUARD, DEFAULT_NEURAL_GUARD, DEFAULT_OUTPUT_SHIELD

    for option, kind, default in (("--input-guard", "heuristic input guard", DEFAULT_INPUT_GUARD),
                                  ("--neural-guard", "semantic input guard", DEFAULT_NEURAL_GUARD),
                                  ("--output-shield", "output shield", DEFAULT_OUTPUT_SHIELD)):
        parser.add_argument(option, default=default, metavar="REF",
                            help=f"{kind} as package.module:name, or none (default: {default})")


def build_parser() -> argparse.ArgumentParser:
    from norv.cli.report import GATE_CATEGORIES, UNSCANNED_CATEGORIES
    from norv.vocabulary import EXIT, EXIT_MEANING

    parser = _Parser(prog="norv", description="norv prompt-security toolkit.", allow_abbrev=False)
    parser.add_argument("--version", action="version", version=f"norv {norv.__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    screen = commands.add_parser(
        "screen",
        allow_abbrev=False,
        help="screen prompts and responses from a file or standard input",
        description=(
            "Run each record's prompt through process_input and its response through process_output "
            "of a GovernanceCoordinator, and write one JSON result line per input record."
        ),
        epilog="exit status: " + "; ".join(f"{status} {EXIT_MEANING[name]}" for name, status in EXIT.items()),
    )
    screen.add_argument("input", nargs="?", default="-", metavar="FILE",
                        help="JSON Lines or text file; '-' or nothing reads standard input")
    screen.add_argument("--format", choices=("auto", "jsonl", "text"), default="auto",
                        help="input format; auto decides by suffix (.jsonl/.ndjson/.json or .txt/.text; a "
                             "further .gz is read through gzip), standard input is jsonl (default: auto)")
    screen.add_argument("-o", "--output", metavar="PATH", help="write result lines here instead of standard output")
    screen.add_argument("--audit-log", metavar="PATH",
                        help="append audit events (JSON lines) here; '-' for standard error (default: standard "
                             "error unless it is a terminal, where they are only in the result lines)")
    screen.add_argument("--timeout-ms", type=_timeout_ms, default=50, metavar="N",
                        help="time limit per security module in milliseconds (default: 50)")
    screen.add_argument("--audit-mode", action="store_true",
                        help="shadow mode: record detections but let every text pass unchanged")
    screen.add_argument("--max-chars", type=_max_chars, default=None, metavar="N",
                        help="do not screen a prompt or response longer than N characters: its verdict is "
                             "too_long, with a TEXT_TOO_LONG event (default: no limit)")
    add_guard_options(screen)
    screen.add_argument("--fail-on", action="append", default=[], metavar="LIST",
                        help=f"fail the run when any of these happened (comma-separated: {', '.join(GATE_CATEGORIES)}; "
                             f"unscanned = {','.join(UNSCANNED_CATEGORIES)}; all)")
    screen.add_argument("--strict", action="append_const", dest="fail_on", const="all",
                        help="the same as --fail-on all: fail on anything not cleanly screened, and on detections")
    screen.add_argument("--fail-on-detection", action="append_const", dest="fail_on", const="detection",
                        help="the same as --fail-on detection")
    screen.add_argument("--jobs", type=_jobs, default=1, metavar="N",
                        help="screen in N processes, each with its own coordinator; 0 for one per core (default: 1)")
    screen.add_argument("--no-progress", action="store_true", help="never show the progress bar")
    screen.add_argument("--max-line-bytes", type=_max_line_bytes, default=16 << 20, metavar="N",
                        help="a line longer than N bytes is not read: its result line is an error of kind "
                             "too_large (default: 16777216, 16 MiB)")
    screen.add_argument("--summary-json", metavar="PATH",
                        help="also write the summary as one strict JSON object to PATH (for CI)")
    screen.add_argument("--quiet", action="store_true",
                        help="no audit events on standard error (they stay in the result lines, and go to "
                             "--audit-log PATH when given)")
    screen.add_argument("--keep-keys", type=_keep_keys, action="extend", default=[], metavar="K1,K2",
                        help="extra record keys to copy into the result lines instead of refusing them")

    from norv.cli.serve import add_parser as add_serve_parser

    add_serve_parser(commands)
    from norv.cli.evaluate import add_parser as add_eval_parser

    add_eval_parser(commands)
    return parser


def _suggest(unknown: list[str], parser: argparse.ArgumentParser) -> str:
    import difflib

    options = [option for action in parser._actions for option in action.option_strings]
    for word in unknown:
        if word.startswith("-"):
            close = difflib.get_close_matches(word.split("=", 1)[0], options, n=1, cutoff=0.6)
            if close:
                return f"; did you mean {close[0]}?"
    return ""


def _screen_parser(parser: argparse.ArgumentParser) -> argparse.ArgumentParser:
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            screen: argparse.ArgumentParser = action.choices["screen"]
            return screen
    raise LookupError("screen")  # pragma: no cover


def _parse(parser: argparse.ArgumentParser, argv: list[str] | None) -> argparse.Namespace:
    args, unknown = parser.parse_known_args(argv)
    if unknown:
        # Named after the command they were given to, with a close option when there is one.
        target = _screen_parser(parser) if args.command == "screen" else parser
        raise _UsageError(f"{target.prog}: error: unrecognized arguments: {' '.join(unknown)}"
                          f"{_suggest(unknown, target)} (see {target.prog} --help)")
    if args.command == "screen":
        from norv.cli.report import parse_fail_on

        try:
            args.fail_on = parse_fail_on(args.fail_on)
        except ValueError as exc:
            raise _UsageError(f"norv screen: error: --fail-on: {exc} (see norv screen --help)") from None
        if args.quiet and args.audit_log == "-":
            raise _UsageError("norv screen: error: --quiet and --audit-log - contradict each other: "
                              "drop one (see norv screen --help)")
        args.keep_keys = tuple(dict.fromkeys(args.keep_keys))
    return args


def _exit_now(status: int) -> NoReturn:
    """Leave without waiting for abandoned scans.

    The worker pool's threads are joined at interpreter exit, so a scan that
    overran its limit (perhaps one that never ends) would hold the process
    open long after the report was written.
    """
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except Exception:
            pass
    os._exit(status)


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    try:
        args = _parse(parser, argv)
    except _UsageError as exc:
        print(exc, file=sys.stderr)
        return 2
    if args.command is None:
        parser.print_help(sys.stderr)
        return 2
    if args.command == "serve":
        from norv.cli.serve import main as serve

        return serve(args)
    if args.command == "eval":
        from norv.cli.evaluate import main as evaluate

        return evaluate(args)

    from norv.cli.errors import Fatal
    from norv.cli.outcome import EXIT
    from norv.cli.screen import run
    from norv.cli.settings import Settings

    # Result lines are UTF-8 whatever the locale says; both streams are
    # buffered for the run and flushed by it.
    stdout_buffer = getattr(sys.stdout, "buffer", None)
    if stdout_buffer is None:  # started with standard output closed
        if args.output is None:
            print("norv screen: error: standard output is closed; give -o PATH for the results", file=sys.stderr)
            return 2
        stdout_buffer = io.BytesIO()  # unused: the results go to -o
    stdout = _writer(stdout_buffer, "strict")
    stderr_buffer = getattr(sys.stderr, "buffer", None)
    stderr = _writer(stderr_buffer, "backslashreplace") if stderr_buffer is not None else sys.stderr
    try:
        stdin = getattr(sys.stdin, "buffer", None) or io.BytesIO()  # no standard input at all
        outcome = run(Settings.from_args(args), stdin, stdout, stderr)
    except Fatal as exc:
        stderr.write(f"norv screen: error: {exc}\n")
        _flush(stderr)
        return EXIT["usage"]
    except KeyboardInterrupt:  # before the run had started
        _flush(stderr)
        return 130
    finally:
        for stream, fd in ((stdout, 1), (stderr, 2)):
            if stream is not sys.stderr and stream is not None:
                if not _flush(stream):
                    # A reader that went away (`norv screen | head`) or a full disk:
                    # the run has said so; the interpreter must not say it again at exit.
                    _discard(fd)
                try:
                    getattr(stream, "detach", lambda: None)()
                except Exception:
                    pass
    if outcome.abandoned_scans:
        _exit_now(outcome.status)
    return outcome.status


def _writer(buffer: Any, errors: str) -> Any:
    """A text stream over ``buffer``: straight to its file descriptor when it has one."""
    from norv.cli.streams import FdWriter

    try:
        fd = buffer.fileno()
        buffer.flush()
    except (AttributeError, OSError, ValueError):
        return io.TextIOWrapper(buffer, encoding="utf-8", errors=errors, newline="\n", write_through=False)
    return FdWriter(fd, errors)


def _flush(stream: Any) -> bool:
    try:
        stream.flush()
        return True
    except Exception:
        return False


def _discard(fd: int) -> None:
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, fd)
        os.close(devnull)
    except OSError:
        pass
