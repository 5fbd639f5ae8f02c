#!/usr/bin/env python3
"""Checks velmora --json output: every line one JSON object valid under the
published schema. Prints one tab-separated summary line per input line (the
facts a test compares with the volume manifests) and, on stderr, every line
that fails. Exit status 1 when any line fails."""
import json
import sys

import jsonschema


def summary(o):
    r = o["report"]
    if r == "listing":
        return [r, o["file"]["record"], "D" if o["directory"] else "F", o["name"]]
    if r == "listing_end":
        return [r, o["entries"], int(o["complete"])]
    if r == "record_header":
        return [r, o["record_number"], o["sequence"], o["lsn"], o["hard_links"],
                int("DIRECTORY" in o["flags"]["names"])]
    if r == "security_descriptor" and o["found"]:
        return [r, o["bytes"], int(o["complete"])]
    if r == "log_record" and o["found"]:
        return [r, "%016X" % o["this_lsn"], "%016X,%016X,%016X,%08X,%04X,%04X,%08X,%08X,%04X" % (
            o["this_lsn"], o["client_previous_lsn"], o["client_undo_next_lsn"], o["client_data_length"],
            o["client_sequence_number"], o["client_index"], o["record_type"], o["transaction_id"],
            o["flags"]["value"])]
    return [r, o.get("found", "")]


def main():
    schema = json.load(open(sys.argv[1], encoding="utf-8"))
    jsonschema.Draft202012Validator.check_schema(schema)
    validator = jsonschema.Draft202012Validator(schema)
    data = open(sys.argv[2], "rb").read()
    failed = 0
    if data and not data.endswith(b"\n"):
        print("output does not end with a newline", file=sys.stderr)
        failed += 1
    for number, raw in enumerate(data.splitlines(), 1):
        try:
            o = json.loads(raw.decode("utf-8"))
            if not isinstance(o, dict):
                raise ValueError("not an object")
            errors = [e.message for e in validator.iter_errors(o)]
            if errors:
                raise ValueError("; ".join(errors)[:300])
            fields = summary(o)
        except (ValueError, KeyError) as e:
            print("line %d: %s: %s" % (number, e, raw[:300]), file=sys.stderr)
            fields = ["invalid"]
            failed += 1
        sys.stdout.write("\t".join(str(f) for f in fields) + "\n")
    sys.exit(1 if failed else 0)


main()
