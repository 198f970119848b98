#!/usr/bin/env python3
"""Creates a Corvane catalog file the way the host has it, for tests and the demo.

  make_catalog.py PATH     creates PATH (and its folder) with the tables
                           stock (holding the account row ID 1) and stockstats
"""
import os
import sqlite3
import sys

SCHEMA = """
CREATE TABLE stock (
    ID INTEGER PRIMARY KEY,
    Name TEXT NOT NULL,
    Earnings TEXT,
    Currency TEXT,
    Rate TEXT
);
INSERT INTO stock (ID, Name, Earnings, Currency, Rate) VALUES (1, 'Vendalux', '0', '', '0');
CREATE TABLE stockstats (
    ID INTEGER PRIMARY KEY AUTOINCREMENT,
    Value TEXT,
    Type INTEGER,
    Day TEXT,
    Month TEXT,
    Year TEXT,
    StockID INTEGER
);
CREATE INDEX stockstats_by_day ON stockstats (StockID, Year, Month, Day);
"""


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_catalog.py PATH")
    path = sys.argv[1]
    if os.path.exists(path):
        sys.exit("make_catalog.py: %s exists already" % path)
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    with sqlite3.connect(path) as db:
        db.executescript(SCHEMA)


if __name__ == "__main__":
    main()
