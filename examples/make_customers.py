"""Writes examples/customers.csv, the small customer table that demo.py encodes.

The table is drawn from a seeded generator, so running this again gives the
same bytes; the CSV is committed and this script only documents its origin.
"""

import csv
import random
from pathlib import Path

SEED = 20240611
ROWS = 400
OUT = Path(__file__).with_name("customers.csv")

# City -> ISO country code. Names keep their own spelling: byte order puts
# "Zürich" after "Zaragoza" and "Łódź", "Örebro", "Évora" after every ASCII name.
CITIES = {
    "Zürich": "CH",
    "Genève": "CH",
    "São Paulo": "BR",
    "Santiago": "CL",
    "Kraków": "PL",
    "Łódź": "PL",
    "Malmö": "SE",
    "Örebro": "SE",
    "Évora": "PT",
    "Lisbon": "PT",
    "Zaragoza": "ES",
    "Reykjavík": "IS",
    "Montréal": "CA",
    "Toronto": "CA",
    "Berlin": "DE",
    "München": "DE",
    # "NA" is Namibia, not a missing value: demo.py reads the file so that it
    # stays a country code.
    "Windhoek": "NA",
}
PLANS = [("free", 0.35), ("basic", 0.30), ("pro", 0.25), ("enterprise", 0.10)]
PLAN_PRICE = {"free": 0.0, "basic": 9.0, "pro": 29.0, "enterprise": 99.0}
BROWSERS = [("Chrome", 0.55), ("Safari", 0.2), ("Firefox", 0.12), ("Edge", 0.1), ("Opera", 0.03)]
MONTHS = [f"{y}-{m:02d}" for y in (2023, 2024) for m in range(1, 13)][6:]


def pick(rng, weighted):
    labels, weights = zip(*weighted)
    return rng.choices(labels, weights=weights)[0]


def make_row(rng, customer_id):
    city = rng.choice(list(CITIES))
    plan = pick(rng, PLANS)
    spend = PLAN_PRICE[plan] + (round(rng.expovariate(1 / 12), 2) if plan != "free" else 0.0)
    row = {
        "customer_id": customer_id,
        "city": city,
        "country": CITIES[city],
        "plan": plan,
        "browser": pick(rng, BROWSERS),
        "signup_month": rng.choice(MONTHS),
        "age": rng.randint(18, 79),
        "monthly_spend": f"{spend:.2f}",
    }
    # Gaps as exports leave them: empty fields anywhere, and the literal
    # "<NA>" that pandas writes for a missing string when a column was cast to str.
    for column in ("city", "country", "age", "monthly_spend", "signup_month"):
        if rng.random() < 0.03:
            row[column] = ""
    for column in ("browser", "plan", "city"):
        if rng.random() < 0.03:
            row[column] = "<NA>"
    return row


def main():
    rng = random.Random(SEED)
    rows = [make_row(rng, 1001 + i) for i in range(ROWS)]
    with OUT.open("w", newline="", encoding="utf-8") as f:
        writer = csv.DictWriter(f, fieldnames=list(rows[0]), lineterminator="\n")
        writer.writeheader()
        writer.writerows(rows)
    print(f"wrote {OUT} ({ROWS} rows)")


if __name__ == "__main__":
    main()
