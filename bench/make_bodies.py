#!/usr/bin/env python3
"""Writes the three 64 MiB urlencoded bodies of the benchmark into a folder."""
import os
import random
import sys

SIZE = 64 << 20


def distinct_names():
    """A million distinct short names, in random order, each with a value."""
    names = ["field%06d" % i for i in range(1_000_000)]
    random.Random(7).shuffle(names)
    value_length = SIZE // len(names) - len(names[0]) - 2
    value = "v" * value_length
    return "&".join(name + "=" + value for name in names)


def long_value():
    """One value full of escapes and "+"."""
    unit = "abc%41+def%2B+%7E%0Axyz+"
    return "v=" + unit * ((SIZE - 2) // len(unit))


def repeated_name():
    """One name repeated millions of times."""
    unit = "name=value&"
    return unit * (SIZE // len(unit))


if __name__ == "__main__":
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    for name, make in (("distinct", distinct_names), ("longvalue", long_value), ("repeated", repeated_name)):
        path = os.path.join(folder, name + ".body")
        if not os.path.exists(path):
            with open(path, "w") as body:
                body.write(make())
