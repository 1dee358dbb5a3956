#!/usr/bin/python3
"""Checks Home Assistant discovery configs against ha_discovery.schema.json.

usage: check_ha_discovery.py SCHEMA CONFIGS

CONFIGS holds one retained message a line, TOPIC, a tab, then the payload.
Each payload is checked against the schema of the component its topic
names (PREFIX/<component>/<object id>/config); the object id must be
[a-zA-Z0-9_-] only. Prints every fault and exits 1 if there is any.
"""
import json
import re
import sys

import jsonschema


def main():
    with open(sys.argv[1], encoding="utf-8") as f:
        schema = json.load(f)
    faults = []
    with open(sys.argv[2], encoding="utf-8") as f:
        lines = f.read().splitlines()
    for line in lines:
        topic, _, payload = line.partition("\t")
        levels = topic.split("/")
        if len(levels) < 4 or levels[-1] != "config":
            faults.append(f"{topic}: not PREFIX/<component>/<object id>/config")
            continue
        component, object_id = levels[-3], levels[-2]
        if not re.fullmatch(r"[a-zA-Z0-9_-]+", object_id):
            faults.append(f"{topic}: object id {object_id!r}")
        if component not in schema["$defs"]:
            faults.append(f"{topic}: no schema for component {component!r}")
            continue
        validator = jsonschema.Draft202012Validator(
            {"$defs": schema["$defs"], "$ref": f"#/$defs/{component}"})
        try:
            config = json.loads(payload)
        except ValueError as e:
            faults.append(f"{topic}: not JSON ({e})")
            continue
        for error in validator.iter_errors(config):
            faults.append(f"{topic}: {error.json_path}: {error.message}")
    for fault in faults:
        print(fault)
    print(f"{len(lines)} configs, {len(faults)} faults")
    return 1 if faults or not lines else 0


if __name__ == "__main__":
    sys.exit(main())
