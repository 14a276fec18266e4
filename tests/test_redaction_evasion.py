"""A datum disguised by the characters around or inside it is still redacted
whole, and a second scan of the result finds nothing new."""

from __future__ import annotations

import re

import pytest

from norv.guards import RedactionShield

SHIELD = RedactionShield()

ZWSP = "\u200b"
NBSP = "\u00a0"
_FULL_WIDTH = str.maketrans({chr(code): chr(code + 0xFEE0) for code in range(0x21, 0x7F)})
_ARABIC_INDIC = str.maketrans("0123456789", "٠١٢٣٤٥٦٧٨٩")


def full_width(text: str) -> str:
    return text.translate(_FULL_WIDTH)


def arabic_digits(text: str) -> str:
    return text.translate(_ARABIC_INDIC)


def fragments(datum: str) -> list[str]:
    """What must not survive of ``datum``: its runs of three or more letters
    or digits, as a reader would recognise them once invisible characters
    and other scripts' forms are read as plain ones."""
    plain = "".join(char for char in datum if char not in (ZWSP, "\u2060", "\u200d"))
    plain = plain.translate({ord(a): ord(b) for a, b in zip("٠١٢٣٤٥٦٧٨٩", "0123456789", strict=True)})
    plain = plain.translate({code + 0xFEE0: code for code in range(0x21, 0x7F)})
    return re.findall(r"[A-Za-z0-9]{3,}", plain)


VISA = ["4111", "1111", "1111", "1111"]

# (the datum as written, the kind it is)
DISGUISED = [
    ("jane.doe＠example.com", "EMAIL"),
    (f"jane.doe{ZWSP}@example.com", "EMAIL"),
    (f"jane{ZWSP}.doe@example.com", "EMAIL"),
    (f"ja{ZWSP}ne.doe@exa{ZWSP}mple.com", "EMAIL"),
    (full_width("jane.doe@example.com"), "EMAIL"),
    (f"AKIA{ZWSP}IOSFODNN7EXAMPLE", "AWS_ACCESS_KEY_ID"),
    ("AKIAIOSF\u2060ODNN7EXAMPLE", "AWS_ACCESS_KEY_ID"),
    ("192．168．0．1", "IPV4"),
    (full_width("10.0.0.1"), "IPV4"),
    (arabic_digits("192.168.0.1"), "IPV4"),
    ("4111.1111.1111.1111", "CARD"),
    ("4111/1111/1111/1111", "CARD"),
    ("4111  1111  1111  1111", "CARD"),
    (NBSP.join(VISA), "CARD"),
    ("\u202f".join(["5555"] * 3 + ["4444"]), "CARD"),
    (ZWSP.join(VISA), "CARD"),
    ("4" + ZWSP.join("111111111111111"), "CARD"),
    (full_width("4111 1111 1111 1111"), "CARD"),
    (arabic_digits("4111 1111 1111 1111"), "CARD"),
    (arabic_digits("4111111111111111"), "CARD"),
    (full_width("3782-822463-10005"), "CARD"),
    ("३७८२ ८२२४६३ १०००५", "CARD"),  # Devanagari digits
    (full_width("+44 20 7946 0958"), "PHONE"),
    (arabic_digits("+44 20 7946 0958"), "PHONE"),
    (f"+44{NBSP}20{NBSP}7946{NBSP}0958", "PHONE"),
    (f"555{ZWSP}-867-5309", "PHONE"),
    (arabic_digits("(555) 010-4477"), "PHONE"),
    (f"DE89{NBSP}3704{NBSP}0044{NBSP}0532{NBSP}0130{NBSP}00", "IBAN"),
    (full_width("GB82WEST12345698765432"), "IBAN"),
]


def _contexts(datum: str) -> list[str]:
    return [datum, f"Contact: {datum}.", f"({datum})", f"first {datum}\nthen {datum} again"]


@pytest.mark.parametrize("datum, kind", DISGUISED, ids=[repr(datum) for datum, _ in DISGUISED])
@pytest.mark.parametrize("context", range(4))
def test_disguised_datum_is_redacted_whole_and_once(datum, kind, context):
    text = _contexts(datum)[context]
    once = SHIELD.scan(text)
    assert f"[REDACTED:{kind}]" in once
    left = once.replace(f"[REDACTED:{kind}]", " ")
    for fragment in fragments(datum):
        assert fragment not in fragments(left), (fragment, once)
    # Invisible characters inside the datum went with it.
    assert ZWSP not in once and "\u2060" not in once
    assert SHIELD.scan(once) == once
    # The findings cover the original characters, and the output is the text
    # with each one replaced by its marker.
    findings = SHIELD.find(text)
    rebuilt, pos = [], 0
    for finding in findings:
        assert pos <= finding.start < finding.end <= len(text)
        rebuilt += [text[pos:finding.start], f"[REDACTED:{finding.kind}]"]
        pos = finding.end
    assert "".join(rebuilt) + text[pos:] == once


@pytest.mark.parametrize(
    "text, expected",
    [
        # Only the datum goes: the characters around it stay as written.
        ("Mail：jane.doe＠example.com！", "Mail：[REDACTED:EMAIL]！"),
        (f"{ZWSP}call 555-867-5309{ZWSP}", f"{ZWSP}call [REDACTED:PHONE]{ZWSP}"),
        ("carte ٤١١١ ١١١١ ١١١١ ١١١١, merci", "carte [REDACTED:CARD], merci"),
        # Two cards, each in its own layout, and a card then a number.
        ("4111.1111.1111.1111 5555/5555/5555/4444", "[REDACTED:CARD] [REDACTED:CARD]"),
        ("4111 1111 1111 1111 12 items", "[REDACTED:CARD] 12 items"),
        # "⑴" folds to "(1)": the card after it is found, the symbol kept.
        ("x ⑴4111 1111 1111 1111", "x ⑴[REDACTED:CARD]"),
    ],
)
def test_only_the_datum_is_replaced(text, expected):
    assert SHIELD.scan(text) == expected


@pytest.mark.parametrize(
    "text",
    [
        # Mixed separators and layouts no card is printed in.
        "4111 1111-1111 1111",
        "4111.1111 1111.1111",
        "41 1111 1111 1111 11",
        # Luhn fails, in whatever script.
        arabic_digits("4111 1111 1111 1112"),
        full_width("4111.1111.1111.1112"),
    ],
)
def test_numbers_that_are_no_card_stay(text):
    assert SHIELD.find(text) == []


@pytest.mark.parametrize(
    "text",
    [
        "Версия 3.11.7 вышла 15.01.2024; цена 1 250,50 руб., тираж 2024 г., код 0532.",
        "Встреча 12.05.2023 в 14:30, комната 4111, телефон не указан.",
        "Η έκδοση 3.11.7 κυκλοφόρησε στις 15/01/2024 και κοστίζει 12,50 €.",
        "Το 2023 πουλήθηκαν 1.250.000 αντίτυπα· η σελίδα 1111 λείπει.",
        "La version 3.11.7 coûte 1 250,50 € depuis le 15/01/2024 à 14 h 30.",
        "Élève n° 4111, né en 1998, a obtenu 18/20 à l'été 2024.",
        "Die Version 3.11.7 kostet 1.250,50 € seit dem 15.01.2024 um 14:30 Uhr.",
        "Größe 42, Straße 12a, Änderung vom 01.02.2024, Preis 19,99 €.",
        "Ｐｙｔｈｏｎ　３．１１．７ は２０２４年１月１５日に公開された。",
    ],
)
def test_prose_with_numbers_is_left_alone(text):
    assert SHIELD.find(text) == []
    assert SHIELD.scan(text) is text


@pytest.mark.parametrize(
    "name",
    ["api_key", "API-SECRET", "apikey", "Access_Key_Id", "access-token", "AUTH_TOKEN", "client_secret",
     "secret_access_key", "SecretKey", "private_key", "refresh_token", "password", "PASSWD", "pwd", "passphrase",
     "secret", "Token", "DB_PASSWORD", "x-api-key", "my_app_token", "ｐａｓｓｗｏｒｄ"],
)
def test_every_secret_name_in_any_case_and_form_is_found(name):
    for text in (f"{name}=s3cr3t-value-1", f'"{name}": "s3cr3t-value-1"', f"{name} : s3cr3t-value-1"):
        once = SHIELD.scan(text)
        assert "[REDACTED:SECRET]" in once and "s3cr3t" not in once
    if name.isalpha():
        # A name that ends a longer word, rather than a "_"- or "-"-joined one, is no name.
        assert SHIELD.find(f"x{name.lower()}=s3cr3t-value-1") == []
