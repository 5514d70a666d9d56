"""Partition keys as text: the canonical JSON of a value, the path
component of a key, and the label users read."""

from __future__ import annotations

import hashlib
import json
import re
from typing import Any, Mapping

# Bytes kept as they are in a path component; everything else is %XX.
_PLAIN = frozenset(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_.-")
# Longer components are shortened and made unique with a hash, marked by "~"
# (which the escaping itself never leaves unescaped).
MAX_COMPONENT = 200
NAME_MAX = 255  # a path component's bytes on common file systems (escaped names are ASCII)


def canonical(value: Any) -> str:
    """The one JSON text of a value: compact, object keys sorted."""
    return json.dumps(value, separators=(",", ":"), sort_keys=True, ensure_ascii=False)


_encode_text = json.encoder.encode_basestring  # what json.dumps uses for a str with ensure_ascii=False


def key_text(key: Any) -> str:
    """canonical(key), without json.dumps's set-up for the keys most
    partitions have: a text or a whole number (planning makes one per key)."""
    kind = type(key)
    if kind is str:
        return _encode_text(key)
    if kind is int:
        return int.__repr__(key)
    return canonical(key)


_ALL_PLAIN = re.compile(r"[A-Za-z0-9_.\-]*")  # texts that are their own escape, if not hidden or too long
# The same module, function and key texts recur in every path of a job.
_ESCAPED: dict[str, str] = {}
_ESCAPED_KEPT = 1 << 16


def escape(text: str) -> str:
    """`text` as one path component: injective, never hidden, at most
    MAX_COMPONENT characters."""
    if _ALL_PLAIN.fullmatch(text) and not text.startswith(".") and len(text) <= MAX_COMPONENT:
        return text  # most texts: no need to hold them in the cache
    found = _ESCAPED.get(text)
    if found is None:
        if len(_ESCAPED) >= _ESCAPED_KEPT:
            _ESCAPED.clear()
        found = _ESCAPED[text] = _escape(text)
    return found


def _escape(text: str) -> str:
    out = []
    for byte in text.encode("utf-8", "surrogatepass"):
        out.append(chr(byte) if byte in _PLAIN else f"%{byte:02X}")
    escaped = "".join(out)
    if escaped.startswith("."):  # no hidden names, no "." or ".."
        escaped = "%2E" + escaped[1:]
    return shorten(escaped, MAX_COMPONENT)


def shorten(text: str, limit: int) -> str:
    """`text` (ASCII) if it fits `limit`, else its start and a hash of it all."""
    if len(text) <= limit:
        return text
    digest = hashlib.sha256(text.encode("ascii")).hexdigest()[:16]
    return text[: limit - 17] + "~" + digest


def _is_json(text: str) -> bool:
    try:
        json.loads(text)
    except ValueError:
        return False
    return True


_JSON_START = frozenset('{["-0123456789tfn \t\n\r')  # how a JSON text can begin


def _is_plain(key: Any) -> bool:
    """A string key that stands for itself: not empty and not JSON text."""
    return isinstance(key, str) and bool(key) and (key[0] not in _JSON_START or not _is_json(key))


def encode_key(key: Any) -> str:
    """A partition key as a path component.

    A string that does not read as JSON stands for itself (``north``,
    ``2026-12-01``); every other key is written as its JSON text, so the
    string "3" (``%223%22``) never meets the number 3 (``3``). The text is
    then escaped byte by byte, so the encoding is injective."""
    return escape(key if _is_plain(key) else key_text(key))


def _no_constant(name: str) -> Any:
    raise ValueError(name)


def read_key(text: str) -> Any:
    """A key as a user writes it (--partition, a page's query): JSON if it
    parses, else the text itself; "NaN" and "Infinity" too, as no key is a
    float NaN or infinity."""
    try:
        return json.loads(text, parse_constant=_no_constant)
    except ValueError:
        return text


def key_label(key: Any, text: str | None = None) -> str:
    """A key as users read it: a plain string as itself, anything else (and
    a string that would read as something else) as its JSON text (`text`,
    when the caller has it), so ``k="3"`` and ``k=3`` differ."""
    if _is_plain(key) and key.isprintable() and not any(c.isspace() for c in key):
        return str(key)
    return _visible(canonical(key) if text is None else text)


def _visible(text: str) -> str:
    """JSON text with every character that shows as another or as nothing
    (a no-break space, a zero-width one, a direction mark) written as its
    escape: the same key, and two keys never look alike."""
    if text.isprintable():
        return text
    shown = []
    for c in text:
        code = ord(c)
        if c.isprintable():
            shown.append(c)
        elif code > 0xFFFF:
            code -= 0x10000
            shown.append(f"\\u{0xD800 + (code >> 10):04x}\\u{0xDC00 + (code & 0x3FF):04x}")
        else:
            shown.append(f"\\u{code:04x}")
    return "".join(shown)


def partition_label(keys: Mapping[str, Any] | None) -> str:
    """``dim=key dim=key`` in dimension order; "" when unpartitioned."""
    return " ".join(f"{dim}={key_label(key)}" for dim, key in (keys or {}).items())


def partition_dir(head: str, key: Any) -> str:
    """One ``dim=key`` component: shortened as a whole where the escaped
    name and key, each within MAX_COMPONENT, together pass what a file
    system takes (a name that fits is kept as it always was)."""
    name = head + encode_key(key)
    return name if len(name) <= NAME_MAX else shorten(name, MAX_COMPONENT)


def dim_head(dim: str) -> str:
    """What a dimension's folder names start with: its escaped name and "="."""
    return f"{escape(dim) if dim else '%'}="
