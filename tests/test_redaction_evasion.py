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


# --- IBANs -----------------------------------------------------------------------

IBAN_SHIELD = RedactionShield(kinds=["IBAN"])

# Published example IBANs, with the layout of the printed form.
REAL_IBANS = [
    "DE89 3704 0044 0532 0130 00", "GB82 WEST 1234 5698 7654 32", "FR14 2004 1010 0505 0001 3M02 606",
    "NL91 ABNA 0417 1643 00", "BE68 5390 0754 7034", "CH93 0076 2011 6238 5295 7", "ES91 2100 0418 4502 0005 1332",
    "IT60 X054 2811 1010 0000 0123 456", "NO93 8601 1117 947", "MT84 MALT 0110 0001 2345 MTLC AST0 01S",
    "LC55 HEMM 0001 0001 0012 0012 0002 3015", "AT61 1904 3002 3457 3201", "PL61 1090 1014 0000 0712 1981 2874",
    "SE45 5000 0000 0583 9825 7466", "DK50 0040 0440 1162 43", "FI21 1234 5600 0007 85",
    "IE29 AIBK 9311 5212 3456 78", "PT50 0002 0123 1234 5678 9015 4", "BR18 0036 0305 0000 1000 9795 493C 1",
    "RU02 0445 2560 0407 0281 0412 3456 7890 1", "SA03 8000 0000 6080 1016 7519",
    "KW81 CBKU 0000 0000 0000 1234 5601 01",
]

# The countries of the SWIFT IBAN registry.
REGISTRY_COUNTRIES = (
    "AD AE AL AT AZ BA BE BG BH BI BR BY CH CR CY CZ DE DJ DK DO EE EG ES FI FK FO FR GB GE GI GL GR GT HN HR HU "
    "IE IL IQ IS IT JO KW KZ LB LC LI LT LU LV LY MC MD ME MK MN MR MT MU NI NL NO OM PK PL PS PT QA RO RS RU SA "
    "SC SD SE SI SK SM SO ST SV TL TN TR UA VA VG XK YE"
).split()


def with_check_digits(country: str, bban: str) -> str:
    """The IBAN of ``bban`` in ``country``, its check digits worked out as ISO 13616 says."""
    number = int("".join(str(int(char, 36)) for char in bban + country + "00"))
    return f"{country}{98 - number % 97:02d}{bban}"


def grouped(compact: str) -> str:
    return " ".join(compact[at:at + 4] for at in range(0, len(compact), 4))


def iban_spans(text: str) -> list[tuple[int, int]]:
    return [(finding.start, finding.end) for finding in IBAN_SHIELD.find(text)]


@pytest.mark.parametrize("iban", REAL_IBANS)
@pytest.mark.parametrize(
    "before, after",
    [
        ("IBAN: ", "."),
        ("", ""),
        ("(", ") BIC COBADEFFXXX"),
        # The last of a long run of groups, some of them IBAN heads.
        ("AB12 " * 60, ""),
        ("Ref 0044 XX89 1234 ", " 7"),
        ("x  ", "\n"),
    ],
)
def test_real_ibans_are_found_in_any_layout(iban, before, after):
    for written in (iban, iban.replace(" ", "")):
        text = before + written + after
        assert iban_spans(text) == [(len(before), len(before) + len(written))]
        assert "[REDACTED:IBAN]" in SHIELD.scan(text)


@pytest.mark.parametrize("country", REGISTRY_COUNTRIES)
def test_an_iban_of_every_registry_country_is_found(country):
    iban = with_check_digits(country, "12345678901234A")
    text = f"pay to {grouped(iban)} today"
    assert iban_spans(text) == [(7, 7 + len(grouped(iban)))]


@pytest.mark.parametrize("country", ["XX", "AB", "QQ", "ZZ"])
def test_two_letters_of_no_country_head_no_iban(country):
    # The checksum holds, but no country has these letters on its IBANs.
    assert iban_spans(f"pay to {grouped(with_check_digits(country, '12345678901234A'))} today") == []


def expected_ibans(text: str) -> list[tuple[int, int]]:
    """The IBANs in ``text``, one candidate at a time: from each start of a
    group that has a registry country and two digits, the longest run of
    whole groups within 46 characters that passes ``iban_ok``, left to right."""
    from norv.guards.redaction import iban_ok

    found: list[tuple[int, int]] = []
    pos = 0
    for start in range(len(text)):
        if start < pos or (start and re.match(r"[A-Za-z0-9]", text[start - 1])):
            continue
        if text[start:start + 2] not in REGISTRY_COUNTRIES or not re.match(r"[0-9]{2}", text[start + 2:start + 4]):
            continue
        candidate = re.match(r"[A-Z0-9 ]{0,46}", text[start:]).group()
        if len(candidate) < 15:
            continue
        for end in range(start + len(candidate), start, -1):
            if text[end - 1] == " " or (end < len(text) and text[end].isalnum()):
                continue  # not the end of a whole group
            if iban_ok(text[start:end].replace(" ", "")):
                found.append((start, end))
                pos = end
                break
    return found


_GROUPS = ["DE89", "DE89", "GB82", "FR14", "NL91", "XX12", "AB12", "MT84", "3704", "0044", "1", "00", "WEST", "Z",
           "3M02", "12345", "x", "DE893704"]


@pytest.mark.parametrize("seed", range(12))
def test_runs_of_groups_hold_the_ibans_a_candidate_by_candidate_check_finds(seed):
    import random

    rng = random.Random(seed)
    parts = []
    while sum(map(len, parts)) < 6000:
        if rng.random() < 0.15:
            # 14 to 35 characters: the shortest and longest are one too short or too long.
            bban = "".join(rng.choices("0123456789AZ", k=rng.randint(10, 31)))
            iban = with_check_digits(rng.choice(REGISTRY_COUNTRIES), bban)
            # Printed in groups (too long a candidate with double spaces) or
            # whole, maybe run into a word it does not belong to.
            layout = rng.choice([" ", " ", "  ", ""])
            parts.append(grouped(iban).replace(" ", layout) + rng.choice(["", "", "", "x", "é"]))
        else:
            parts.append(rng.choice(_GROUPS))
        parts.append(rng.choice([" ", " ", " ", "  ", ", ", "-"]) if rng.random() < 0.97 else ". ")
    text = "".join(parts)
    expected = expected_ibans(text)
    assert len(expected) >= 10  # the texts hold real IBANs, not only decoys
    assert iban_spans(text) == expected
