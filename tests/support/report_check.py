#!/usr/bin/python3
"""Checks a Rebolan report against docs/rebolan-report.schema.json (Debian's
python3-jsonschema) and prints it in lines a test compares:

  run=conversion replaced=true result=0 ini=null
  task common||Weekly 22->11374 carried Task1
  problem Weekly NameENG: why
  area common|| 2->2
  not_carried text
  password main stored carried
  kept the INI text PATH

"INVALID: ..." and exit status 1 when the report does not validate."""
import json
import sys

import jsonschema


def show(value):
    return "null" if value is None else str(value).lower() if isinstance(value, bool) else str(value)


def place(item):
    return "%s|%s|%s" % (item["area"], item["domain"] or "", item["user"] or "")


def main(schema_path, report_path):
    with open(schema_path, encoding="utf-8") as f:
        schema = json.load(f)
    jsonschema.Draft7Validator.check_schema(schema)
    with open(report_path, encoding="utf-8") as f:
        report = json.load(f)
    try:
        jsonschema.validate(report, schema, cls=jsonschema.Draft7Validator)
    except jsonschema.ValidationError as error:
        print("INVALID: %s at %s" % (error.message, list(error.absolute_path)))
        return 1
    print("run=%s replaced=%s result=%s ini=%s version=%s" % (
        report["run"], show(report["replaced"]), report["result"], show(report["ini_file"]),
        show(report["configuration"]["version"])))
    for task in report["tasks"]:
        print("task %s|%s %s->%s %s %s" % (
            place(task), task["name"], task["source_stream"], show(task["target_stream"]),
            "carried" if task["carried"] else "lost", show(task["section"])))
        for problem in task["problems"]:
            print("problem %s %s: %s" % (task["name"], problem["key"], problem["why"]))
    for area in report["areas"]:
        print("area %s %d->%d" % (place(area), area["tasks_read"], area["tasks_carried"]))
    for text in report["not_carried"]:
        print("not_carried %s" % text)
    for which in ("main", "second"):
        password = report["passwords"][which]
        print("password %s %s %s" % (which, "stored" if password["stored"] else "none",
                                     "carried" if password["carried"] else "not-carried"))
    for kept in report["kept_files"]:
        print("kept %s %s" % (kept["what"], kept["path"]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
