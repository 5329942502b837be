"""A short tour of Tarnwick: index live objects, filter them, keep the index current."""

import random

from Tarnwick import Index, Indexable, PyQueryExpr as Q


class Address(Indexable):
    def __init__(self, city: str) -> None:
        self.city = city


class Person(Indexable):
    def __init__(self, name: str, age: int, score: float, tags: list[str], address: Address) -> None:
        self.name = name
        self.age = age
        self.score = score
        self.tags = tags
        self.address = address


def main() -> None:
    rng = random.Random(7)
    cities = [Address(c) for c in ("London", "Paris", "Oslo", "Lima")]
    names = ["Ada", "Alan", "Grace", "Edsger", "Barbara", "Donald", "Frances", "John"]
    people = [
        Person(f"{rng.choice(names)}-{i}", rng.randrange(18, 90), rng.random(),
               rng.sample(["python", "c++", "rust", "go", "sql"], 2), rng.choice(cities))
        for i in range(10_000)
    ]

    index: Index[Person] = Index()
    index.add_object_many(people)
    print(f"indexed {len(index)} people: {index!r}")

    thirties = index.reduced_query(Q.bt("age", 30, 39))
    print("aged 30-39:", len(thirties))

    query = Q.and_(Q.starts_with("name", "Gr"), Q.eq("tags", "rust"), Q.gt("score", 0.5))
    hits = index.reduced_query(query).collect()
    print("Gr* who know rust with score > 0.5:", len(hits), [p.name for p in hits[:3]])

    in_oslo = index.reduced_query(Q.eq("address.city", "Oslo"))
    print("living in Oslo:", len(in_oslo))

    # Assignments keep every index current, nested objects included.
    cities[2].city = "Bergen"
    print("in Oslo after the move:", len(index.reduced_query(Q.eq("address.city", "Oslo")).collect()),
          "/ in Bergen:", len(index.get_by_attribute(**{"address.city": "Bergen"})))

    # A view is fixed when made; narrowing it tests current values.
    young = index.reduced_query(Q.lt("age", 25))
    print("under 25:", len(young), "of whom score >= 0.9:", len(young.reduced_query(Q.ge("score", 0.9))))

    # Results behave like collections: top k straight from the numeric
    # index, counts per value, membership, removal, operators.
    best = thirties.collect(order_by="score", descending=True, limit=3)
    print("best scores in their 30s:", [(p.name, round(p.score, 3)) for p in best])
    print("next page:", [p.name for p in thirties.collect(order_by="score", descending=True, offset=3, limit=3)])
    print("tags among them:", thirties.value_counts("tags"))
    print("cities of the young:", young.value_counts("address.city"))
    leaver = best[0]
    index.remove(leaver)
    print(f"{leaver.name} left: still indexed? {leaver in index}; in the old view? {leaver in thirties};",
          f"{len(index)} people")
    rust_or_go = index.reduced_query((Q.eq("tags", "rust") | Q.eq("tags", "go")) & ~Q.lt("age", 30))
    print("rust or go, 30 and over:", len(rust_or_go))


if __name__ == "__main__":
    main()
