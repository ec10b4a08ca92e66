"""loads and dumps of the payloads language-model applications move most:
a tool call, a chat message carrying one, ten retrieved records and a
20 KB conversation, against orjson and ssrjson; `{}` shows the fixed cost
of a call.

Run by `make bench`. Columns "vesk/peer" are vesk's time divided by the
peer's, paired round by round: at most 1.0 means vesk is at least as fast.
`loads` reads the same JSON bytes for all; `dumps` writes with the defaults
and returns a str, as ssrjson does; orjson's bytes are decoded where the
text is not ASCII, which is what a caller pays for the same str.
"""

from __future__ import annotations

import json
import sys

import orjson
import ssrjson

import vesk
from common import compare

TOOL_CALL = {
    "id": "call_7Hq2mX9s",
    "type": "function",
    "function": {"name": "get_weather", "arguments": {"city": "Paris"}},
}

CHAT_MESSAGE = {
    "role": "assistant",
    "content": "Let me check the forecast for Paris.",
    "tool_calls": [
        {
            "id": "call_p3Rb8Wd1nZ0",
            "type": "function",
            "function": {"name": "get_weather", "arguments": {"city": "Paris", "days": 3}},
        },
    ],
}

TOPICS = ["refund policy", "shipping times", "warranty claims", "account recovery",
          "invoice download", "data export", "plan upgrade", "two-factor setup",
          "order tracking", "café locations"]


def retrieved_records() -> list[dict]:
    """Ten search hits as a retriever hands them to a prompt."""
    return [
        {
            "id": f"doc-{4711 + 37 * i}",
            "score": round(0.93 - 0.047 * i, 4),
            "title": f"Help centre: {topic}",
            "url": f"https://help.example.com/articles/{4711 + 37 * i}",
            "updated": f"2025-0{1 + i % 9}-{10 + i}T08:30:00Z",
            "snippet": f"Everything about {topic}: who can ask, what it costs and "
                       f"how long it takes.",
        }
        for i, topic in enumerate(TOPICS)
    ]


def conversation() -> dict:
    """A chat request of about 20 KB: a system prompt, tool definitions and
    turns with tool calls and their results."""
    tools = [
        {
            "type": "function",
            "function": {
                "name": name,
                "description": f"Look up {what} for the user and return what was found.",
                "parameters": {
                    "type": "object",
                    "properties": {
                        "query": {"type": "string", "description": f"What to look up in {what}"},
                        "limit": {"type": "integer", "minimum": 1, "maximum": 50},
                        "strict": {"type": "boolean"},
                    },
                    "required": ["query"],
                },
            },
        }
        for name, what in [("search_docs", "the documentation"), ("get_order", "the orders"),
                           ("get_weather", "the forecast")]
    ]
    messages = [{"role": "system", "content": "You are a helpful support agent. " * 8}]
    for turn in range(16):
        hits = retrieved_records()[turn % 5: turn % 5 + 3]
        messages += [
            {"role": "user", "content": f"Question {turn}: how does {TOPICS[turn % 10]} work?"},
            {
                "role": "assistant",
                "content": None,
                "tool_calls": [{
                    "id": f"call_{turn:04d}",
                    "type": "function",
                    "function": {"name": "search_docs",
                                 "arguments": {"query": TOPICS[turn % 10], "limit": 3}},
                }],
            },
            {"role": "tool", "tool_call_id": f"call_{turn:04d}", "content": hits},
            {"role": "assistant", "content": f"Here is how {TOPICS[turn % 10]} works: "
                                             + hits[0]["snippet"]},
        ]
    return {"model": "gpt-4o-mini", "temperature": 0.2, "max_tokens": 1024, "tools": tools,
            "messages": messages}


PAYLOADS = {
    "empty {}": {},
    "tool call": TOOL_CALL,
    "chat message": CHAT_MESSAGE,
    "10 records": retrieved_records(),
    "conversation": conversation(),
}


def main() -> None:
    budget = float(sys.argv[1]) if len(sys.argv) > 1 else 1.0
    print(f"vesk {vesk.__version__} ({vesk.__simd__}), Python {sys.version.split()[0]}")
    print(f"{'payload':<14}{'bytes':>7}{'vesk ns':>10}{'orjson ns':>11}{'ssrjson ns':>12}"
          f"{'vesk/orjson':>13}{'vesk/ssrjson':>14}")
    for direction in ("loads", "dumps"):
        print(direction)
        for label, value in PAYLOADS.items():
            data = orjson.dumps(value)
            assert vesk.loads(data) == value == ssrjson.loads(data)
            if direction == "loads":
                contenders = {"vesk": lambda d=data: vesk.loads(d),
                              "orjson": lambda d=data: orjson.loads(d),
                              "ssrjson": lambda d=data: ssrjson.loads(d)}
            else:
                assert vesk.loads(vesk.dumps(value)) == value
                orjson_text = ((lambda v=value: orjson.dumps(v)) if data.isascii()
                               else (lambda v=value: orjson.dumps(v).decode()))
                contenders = {"vesk": lambda v=value: vesk.dumps(v),
                              "orjson": orjson_text,
                              "ssrjson": lambda v=value: ssrjson.dumps(v)}
            t = compare(contenders, budget=budget)
            print(f"  {label:<12}{len(data):>7}{t['vesk'] * 1e9:>10.0f}{t['orjson'] * 1e9:>11.0f}"
                  f"{t['ssrjson'] * 1e9:>12.0f}{t.ratio('vesk', 'orjson'):>13.2f}"
                  f"{t.ratio('vesk', 'ssrjson'):>14.2f}")


if __name__ == "__main__":
    main()
