"""Generated data sets of the kind that goes into prompts: flat records, logs,
nested orders. Deterministic (seeded), so token counts are reproducible."""

from __future__ import annotations

import random

FIRST = ["Alice", "Bob", "Carol", "David", "Erin", "Frank", "Grace", "Heidi", "Ivan", "Judy",
         "Mallory", "Niaj", "Olivia", "Peggy", "Rupert", "Sybil", "Trent", "Victor", "Walter", "Zoe"]
LAST = ["Nguyen", "Smith", "Garcia", "Okafor", "Tanaka", "Müller", "Rossi", "Kowalski", "Dubois",
        "Larsen", "Haddad", "Silva"]
DEPARTMENTS = ["Engineering", "Sales", "Marketing", "Finance", "Support", "Legal", "Research"]
SERVICES = ["auth", "billing", "search", "gateway", "inventory", "mailer"]
LEVELS = ["DEBUG", "INFO", "INFO", "INFO", "WARN", "ERROR"]
MESSAGES = ["request completed", "cache miss for key user:{}", "retrying upstream call (attempt {})",
            "slow query: {} ms", "user {} logged in", "payment declined: insufficient funds",
            "connection reset by peer", "rate limit exceeded for client {}"]
PRODUCTS = ["keyboard", "mouse", "monitor", "laptop stand", "USB-C cable", "webcam", "headset", "dock"]


def employees(n: int = 200) -> list[dict]:
    rng = random.Random(1)
    out = []
    for i in range(n):
        first, last = rng.choice(FIRST), rng.choice(LAST)
        out.append({
            "id": 1000 + i,
            "name": f"{first} {last}",
            "email": f"{first.lower()}.{last.lower()}{i}@example.com",
            "department": rng.choice(DEPARTMENTS),
            "salary": rng.randrange(45_000, 180_000, 500),
            "active": rng.random() < 0.85,
        })
    return out


def log_events(n: int = 1000) -> list[dict]:
    rng = random.Random(2)
    out = []
    for i in range(n):
        second = i * 7
        out.append({
            "timestamp": f"2025-03-14T{9 + second // 3600:02d}:{second // 60 % 60:02d}:{second % 60:02d}Z",
            "level": rng.choice(LEVELS),
            "service": rng.choice(SERVICES),
            "latency_ms": round(rng.lognormvariate(3, 1), 1),
            "message": rng.choice(MESSAGES).format(rng.randrange(1, 500)),
        })
    return out


def orders(n: int = 300) -> list[dict]:
    rng = random.Random(3)
    out = []
    for i in range(n):
        items = [{"sku": f"SKU-{rng.randrange(10_000):04d}", "product": rng.choice(PRODUCTS),
                  "qty": rng.randrange(1, 5), "price": round(rng.uniform(5, 400), 2)}
                 for _ in range(rng.randrange(1, 5))]
        out.append({
            "order_id": f"ORD-{20_000 + i}",
            "customer": f"{rng.choice(FIRST)} {rng.choice(LAST)}",
            "status": rng.choice(["pending", "shipped", "delivered", "cancelled"]),
            "items": items,
            "total": round(sum(it["qty"] * it["price"] for it in items), 2),
        })
    return out


DATASETS = {"employees (200)": employees, "orders (300)": orders, "log events (1,000)": log_events}
