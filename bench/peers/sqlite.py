"""sqlite3 in memory, with an index on every queried column.

People, their addresses and their tags are three tables, as a relational
schema holds them; the nested path and the list attribute become subqueries.
LIKE is made case-sensitive to agree with Python's str methods, which also
lets SQLite answer prefixes from the index on the name.
"""

from __future__ import annotations

import sqlite3

from bench.peers.base import Peer, Unsupported
from bench.predicates import (And, Between, Contains, EndsWith, Eq, Ge, Has, In, Lt, Not, Or,
                              StartsWith)

SCHEMA = """
CREATE TABLE address (id INTEGER PRIMARY KEY, zip TEXT);
CREATE TABLE person (id INTEGER PRIMARY KEY, age INTEGER, score REAL, city TEXT, name TEXT,
                     active INTEGER, address_id INTEGER);
CREATE TABLE person_tag (person_id INTEGER, tag TEXT);
"""
INDEXES = """
CREATE INDEX person_age ON person(age);
CREATE INDEX person_score ON person(score);
CREATE INDEX person_city ON person(city);
CREATE INDEX person_name ON person(name);
CREATE INDEX person_active ON person(active);
CREATE INDEX person_address ON person(address_id);
CREATE INDEX address_zip ON address(zip);
CREATE INDEX person_tag_tag ON person_tag(tag, person_id);
"""
COLUMNS = {"age", "score", "city", "name", "active"}


def like_pattern(text: str, before: bool, after: bool) -> tuple[str, bool]:
    """A LIKE pattern matching `text` literally; the flag says whether it needs ESCAPE."""
    escaped = text.replace("\\", "\\\\").replace("%", "\\%").replace("_", "\\_")
    pattern = ("%" if before else "") + escaped + ("%" if after else "")
    return pattern, escaped != text


class SQLite(Peer):
    key = "sqlite"
    label = "sqlite3"

    def __init__(self, workload):
        super().__init__(workload)
        self.conn = None

    @staticmethod
    def connect() -> sqlite3.Connection:
        conn = sqlite3.connect(":memory:", isolation_level=None)
        conn.execute("PRAGMA case_sensitive_like = ON")
        return conn

    def build(self) -> None:
        self.close()
        conn = self.connect()
        conn.executescript(SCHEMA)
        rows = self.workload.rows
        conn.execute("BEGIN")
        conn.executemany("INSERT INTO address (id, zip) VALUES (?, ?)",
                         ((i, r[6]) for i, r in enumerate(rows, 1)))
        conn.executemany(
            "INSERT INTO person (id, age, score, city, name, active, address_id)"
            " VALUES (?, ?, ?, ?, ?, ?, ?)",
            ((i, r[0], r[1], r[2], r[3], int(r[4]), i) for i, r in enumerate(rows, 1)))
        conn.executemany("INSERT INTO person_tag (person_id, tag) VALUES (?, ?)",
                         ((i, t) for i, r in enumerate(rows, 1) for t in r[5]))
        conn.executescript(INDEXES)  # commits the open transaction first
        self.conn = conn
        self.objects

    def _condition(self, query, params: list) -> str:
        match query:
            case Eq("address.zip", value):
                params.append(value)
                return "address_id IN (SELECT id FROM address WHERE zip = ?)"
            case Eq(attr, value) if attr in COLUMNS:
                params.append(int(value) if isinstance(value, bool) else value)
                return f"{attr} = ?"
            case Has("tags", item):
                params.append(item)
                return "id IN (SELECT person_id FROM person_tag WHERE tag = ?)"
            case In(attr, values) if attr in COLUMNS:
                params.extend(values)
                return f"{attr} IN ({', '.join('?' * len(values))})"
            case Between(attr, lo, hi) if attr in COLUMNS:
                params.extend((lo, hi))
                return f"{attr} BETWEEN ? AND ?"
            case Lt(attr, value) if attr in COLUMNS:
                params.append(value)
                return f"{attr} < ?"
            case Ge(attr, value) if attr in COLUMNS:
                params.append(value)
                return f"{attr} >= ?"
            case StartsWith(attr, value) | EndsWith(attr, value) | Contains(attr, value) \
                    if attr in COLUMNS:
                pattern, escape = like_pattern(value, not isinstance(query, StartsWith),
                                               not isinstance(query, EndsWith))
                params.append(pattern)
                return f"{attr} LIKE ?" + (" ESCAPE '\\'" if escape else "")
            case And(parts):
                return "(" + " AND ".join(self._condition(p, params) for p in parts) + ")" \
                    if parts else "1"
            case Or(parts):
                return "(" + " OR ".join(self._condition(p, params) for p in parts) + ")" \
                    if parts else "0"
            case Not(part):
                return f"NOT ({self._condition(part, params)})"
        raise Unsupported(f"no translation of {query!r}")

    def compile(self, query):
        params: list = []
        where = self._condition(query, params)
        return f"SELECT id FROM person WHERE {where}", tuple(params)

    def execute(self, compiled):
        sql, params = compiled
        return self.conn.execute(sql, params).fetchall()

    def materialize(self, result) -> list:
        objs = self.objects
        return [objs[row[0] - 1] for row in result]

    def _where(self, compiled):
        if compiled is None:
            return "", ()
        sql, params = compiled
        return sql[sql.index(" WHERE "):], params

    def count(self, compiled) -> int:
        where, params = self._where(compiled)
        return self.conn.execute(f"SELECT COUNT(*) FROM person{where}", params).fetchone()[0]

    def top_k(self, compiled, attr, k) -> list:
        where, params = self._where(compiled)
        objs = self.objects
        rows = self.conn.execute(f"SELECT id FROM person{where} ORDER BY {attr}, id LIMIT {int(k)}", params)
        return [objs[row[0] - 1] for row in rows]

    def value_counts(self, compiled, attr) -> dict:
        where, params = self._where(compiled)
        rows = self.conn.execute(f"SELECT {attr}, COUNT(*) AS n FROM person{where} GROUP BY {attr}"
                                 " ORDER BY n DESC", params)
        return dict(rows.fetchall())

    def assign_age(self, positions, ages) -> None:
        execute = self.conn.execute
        for p, a in zip(positions, ages):
            execute("UPDATE person SET age = ? WHERE id = ?", (a, p + 1))

    def close(self) -> None:
        if self.conn is not None:
            self.conn.close()
            self.conn = None
