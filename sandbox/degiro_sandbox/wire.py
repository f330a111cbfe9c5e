"""What the sandbox records and answers with: request and session records, replies, redaction."""

import json
from dataclasses import dataclass

import sandbox_http

REDACTED = "<redacted>"

# Body and query keys that carry a secret; their values never reach a record.
SECRET_KEYS = frozenset({"password", "oneTimePassword", "inAppToken"})


@dataclass(frozen=True)
class RequestRecord:
    """One request as the server saw it; ``status`` is None when no answer was sent."""

    method: str
    path: str
    query: dict
    body: object
    headers: dict
    endpoint: str | None
    status: int | None = None


@dataclass(frozen=True)
class SessionRecord:
    id: str
    username: str
    state: str  # live | closed | expired


@dataclass
class Reply(sandbox_http.Reply):
    content_type: str = "application/json;charset=UTF-8"


class Malformed(Exception):
    """A request the connector would never send: answered 400."""


def json_reply(status, payload, headers=()):
    return Reply(status, json.dumps(payload, ensure_ascii=False).encode("utf-8"), headers=headers)


def errors_reply(status, text):
    return json_reply(status, {"errors": [{"text": text}]})


def html_reply(status, text):
    page = f"<!DOCTYPE html><html><head><title>DEGIRO</title></head><body><h1>{text}</h1></body></html>"
    return Reply(status, page.encode("utf-8"), "text/html;charset=UTF-8")


def redact(value):
    """``value`` with every secret-keyed entry, at any depth, replaced by REDACTED."""
    if isinstance(value, dict):
        return {key: REDACTED if key in SECRET_KEYS else redact(item) for key, item in value.items()}
    if isinstance(value, list):
        return [redact(item) for item in value]
    return value
