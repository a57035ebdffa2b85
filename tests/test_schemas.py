"""The JSON Schemas shipped in the package: they accept what the system writes
(conftest checks every document the suite produces) and reject what it never
writes, so a reader in another language can rely on them."""

import copy
import json
from pathlib import Path

import jsonschema
import pytest

from conftest import SCHEMAS, TESTS_DIR
from tamso import inspect_modules, materialize_asset

EXAMPLES = str(Path(TESTS_DIR).parent / "examples")
# What an asset declared with asset() carries as its decorator_metadata.
DECLARATION = jsonschema.Draft202012Validator(
    {"$defs": SCHEMAS["inspection document"].schema["$defs"], "$ref": "#/$defs/declaration"})


@pytest.fixture
def documents(tmp_path, monkeypatch):
    """An inspection document of the example pipeline and both forms of result.json."""
    monkeypatch.syspath_prepend(EXAMPLES)
    inspection = json.loads(inspect_modules(["pipeline.sources", "pipeline.reports"]))
    materialize_asset("pipeline.sources", "customers", str(tmp_path / "ok"))
    with pytest.raises(SystemExit):
        materialize_asset("pipeline.sources", "prices", str(tmp_path / "error"), '{"ticker": "none", "day": "1"}')
    read = lambda name: json.loads((tmp_path / name / "result.json").read_text("utf-8"))  # noqa: E731
    return {"inspection document": inspection, "success": read("ok"), "error": read("error")}


def test_declared_assets_carry_a_declaration_record(documents):
    records = documents["inspection document"]["assets"]
    assert len(records) == 5 and any(r["decorator_metadata"]["partitions"] for r in records)
    for record in records:
        DECLARATION.validate(record["decorator_metadata"])
    assert (documents["success"]["ok"], documents["error"]["error_type"]) == (True, "KeyError")


DROP = object()


def change(path, value=DROP):
    """A change to a document: set the member at `path` to `value`, or remove it."""
    def apply(doc):
        *parents, last = path
        for key in parents:
            doc = doc[key]
        if value is DROP:
            del doc[last]
        else:
            doc[last] = value
    return apply


RECORD = ("assets", 0)


@pytest.mark.parametrize(("document", "change_document"), [
    ("inspection document", change(("extra",), 1)),
    ("inspection document", change(("assets",))),
    ("inspection document", change((*RECORD, "extra"), 1)),
    ("inspection document", change((*RECORD, "return_type"))),
    ("inspection document", change((*RECORD, "kind"), "job")),
    ("inspection document", change((*RECORD, "file_path"), None)),
    ("inspection document", change((*RECORD, "python_version"), "3.11")),
    ("inspection document", change((*RECORD, "return_type"), 1)),
    ("success", change(("signature",))),
    ("success", change(("ok",), False)),
    ("success", change(("artifact_format",), "")),
    ("success", change(("value_path",), "out/result.json")),
    ("success", change(("error",), "")),
    ("error", change(("ok",), True)),
    ("error", change(("error_type",), None)),
    ("error", change(("value_path",), "out/value.json")),
], ids=lambda v: v if isinstance(v, str) else "")
def test_what_the_system_never_writes_is_rejected(documents, document, change_document):
    doc = copy.deepcopy(documents[document])
    change_document(doc)
    kind = "inspection document" if document == "inspection document" else "result.json"
    with pytest.raises(jsonschema.ValidationError):
        SCHEMAS[kind].validate(doc)


@pytest.mark.parametrize("change_record", [
    change(("kind",), "task"), change(("name",), 1), change(("serializer",)), change(("inputs",), {"a": 1}),
    change(("partitions",), {"d": {"kind": "inline"}}), change(("partitions",), {"d": {"kind": "range", "values_json": "[]"}}),
    change(("extra",), None),
])
def test_a_malformed_declaration_record_is_rejected(documents, change_record):
    record = copy.deepcopy(documents["inspection document"]["assets"][-1]["decorator_metadata"])
    change_record(record)
    with pytest.raises(jsonschema.ValidationError):
        DECLARATION.validate(record)
