"""The operations measured on every peer, with the queries they run.

Selectivities follow from the workload: 100 ages, 100 cities, 100 zips and a
1% share of active people give about 1% per equality; scores are uniform in
[0, 1); names are a capital and 7-19 lowercase letters; each person has 1-3
of 50 tags (about 4% carry a given tag).
"""

from __future__ import annotations

from dataclasses import dataclass

from bench.predicates import (And, Between, Contains, EndsWith, Eq, Ge, Has, In, Lt, Not, Or,
                              Pred, StartsWith)

# Kinds of operation; the runner measures each kind its own way.
BUILD = "build"          # load the data into the peer's structure
CREATE = "create"        # make the objects the peer holds
QUERY = "query"          # query and collect the matching objects into a list
COLLECT = "collect"      # turn an already computed result into a list of objects
SET_ATTR = "set_attr"    # one attribute assignment on an indexed object
GET_ATTR = "get_attr"    # one attribute read
COUNT = "count"          # the number of objects a query matches
TOP_K = "top_k"          # the k objects with the lowest value of an attribute (among a query's)
GROUP_COUNT = "group"    # how many objects (among a query's) hold each value of an attribute
REMOVE = "remove"        # take one object out of the peer's structure
WATCH_SET = "watch_set"  # one assignment with live queries open on the attribute
WATCH_LEN = "watch_len"  # the size of a live query against running and collecting the query


@dataclass(frozen=True)
class Operation:
    key: str
    label: str
    kind: str
    query: Pred | None = None
    charted: bool = False
    attr: str | None = None  # the attribute a top-k or count per value reads
    k: int = 0


AGE_EQ = Eq("age", 30)
RANGE_10 = Between("score", 0.2, 0.3)
YOUNG = Lt("age", 10)

OPERATIONS: tuple[Operation, ...] = (
    Operation("create", "make N objects", CREATE),
    Operation("build", "build / load", BUILD),
    Operation("eq_int", "age == 30 (1%)", QUERY, AGE_EQ, charted=True),
    Operation("eq_str", "city == 'city42' (1%)", QUERY, Eq("city", "city42"), charted=True),
    Operation("eq_bool", "active == True (1%)", QUERY, Eq("active", True), charted=True),
    Operation("range_1", "0.2 <= score <= 0.21 (1%)", QUERY, Between("score", 0.2, 0.21),
              charted=True),
    Operation("range_10", "0.2 <= score <= 0.3 (10%)", QUERY, RANGE_10, charted=True),
    Operation("range_50", "0.25 <= score <= 0.75 (50%)", QUERY, Between("score", 0.25, 0.75),
              charted=True),
    Operation("prefix", "name starts with 'Ka'", QUERY, StartsWith("name", "Ka"), charted=True),
    Operation("suffix", "name ends with 'er'", QUERY, EndsWith("name", "er"), charted=True),
    Operation("substring", "name contains 'ab'", QUERY, Contains("name", "ab"), charted=True),
    Operation("in", "city in 3 values (3%)", QUERY, In("city", ("city03", "city14", "city25")),
              charted=True),
    Operation("and3", "age == 30 and score < 0.5 and name starts with 'K'", QUERY,
              And((AGE_EQ, Lt("score", 0.5), StartsWith("name", "K"))), charted=True),
    Operation("or", "age == 30 or city == 'city07' (2%)", QUERY,
              Or((AGE_EQ, Eq("city", "city07"))), charted=True),
    Operation("not", "not (score >= 0.01) (1%)", QUERY, Not(Ge("score", 0.01)), charted=True),
    Operation("nested", "address.zip == 'Z0042' (1%)", QUERY, Eq("address.zip", "Z0042"),
              charted=True),
    Operation("container", "'tag07' in tags (4%)", QUERY, Has("tags", "tag07"), charted=True),
    Operation("collect", "collect a 10% result into a list", COLLECT, RANGE_10),
    Operation("count", "count a 10% result (score range)", COUNT, RANGE_10),
    Operation("top10_view", "10 lowest scores among age < 10 (10%)", TOP_K, YOUNG, attr="score", k=10),
    Operation("top10_all", "10 lowest scores of all", TOP_K, None, attr="score", k=10),
    Operation("value_counts", "objects per city among age < 10 (10%)", GROUP_COUNT, YOUNG, attr="city"),
    Operation("remove", "remove one object", REMOVE),
    Operation("set_attr", "assign age on one indexed object", SET_ATTR),
    Operation("get_attr", "read age of one object", GET_ATTR),
    Operation("watch_set", "assign age with 0/1/10/100 watches on age (100 on city)", WATCH_SET),
    Operation("watch_len", "len(watch) of a 10% score range", WATCH_LEN, RANGE_10),
)

BY_KEY = {op.key: op for op in OPERATIONS}
