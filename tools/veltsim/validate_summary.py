#!/usr/bin/env python3
"""Checks a veltsim --json summary against summary.schema.json: validate_summary.py SCHEMA FILE."""
import json
import sys

try:
    import jsonschema
except ImportError:
    sys.exit("python3-jsonschema is not installed (scripts/setup installs it)")

with open(sys.argv[1], encoding="utf-8") as schema_file:
    schema = json.load(schema_file)
with open(sys.argv[2], encoding="utf-8") as summary_file:
    summary = json.load(summary_file)
jsonschema.Draft202012Validator.check_schema(schema)
error = jsonschema.exceptions.best_match(
    jsonschema.Draft202012Validator(schema).iter_errors(summary))
if error is not None:
    where = "/".join(str(part) for part in error.absolute_path)
    sys.exit(f"{sys.argv[2]}: at /{where}: {error.message}")
