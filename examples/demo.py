"""A short tour of Tarnwick: indexed objects."""

from Tarnwick import Indexable


class Person(Indexable):
    def __init__(self, name, age, city):
        self.name = name
        self.age = age
        self.city = city


def main():
    people = [
        Person("Ada", 36, "London"),
        Person("Alan", 41, "Wilmslow"),
        Person("Grace", 36, "New York"),
    ]
    for p in people:
        print(p, "->", p.name, p.age, p.city)
    print("attributes of the first person:", [n for n in dir(people[0]) if not n.startswith("_")][:3])


if __name__ == "__main__":
    main()
