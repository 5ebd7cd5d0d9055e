#!/usr/bin/env python3
"""The same listing as fieldecho, the way a Python user would write it."""
import sys
from urllib.parse import parse_qsl

body = sys.stdin.buffer.read().decode("latin-1")
fields = {}
for name, value in parse_qsl(body, keep_blank_values=True):
    fields.setdefault(name, []).append(value)
out = sys.stdout
out.write("Content-Type: text/plain\r\n\r\n%d successful form elements totally submitted\r\n\r\n"
          "Listing decoded data:\r\n\r\n" % len(fields))
for name in sorted(fields):
    out.write("%s=%s\r\n" % (name, ";".join(fields[name])))
