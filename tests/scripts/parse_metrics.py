#!/usr/bin/python3
"""Parses a metrics file with prometheus_client's own parser, the format's reference, and prints each sample as
a line: name, then each label as name=value with the value's UTF-8 bytes in hex (so that nothing in a value can
be taken for a separator), then the value. Exits non-zero when the file does not parse."""
import sys

from prometheus_client.parser import text_string_to_metric_families

with open(sys.argv[1], "rb") as f:
    text = f.read().decode("utf-8")
for family in text_string_to_metric_families(text):
    for sample in family.samples:
        labels = " ".join(f"{k}={v.encode('utf-8').hex()}" for k, v in sorted(sample.labels.items()))
        print(f"{sample.name} {labels} {sample.value:g}")
