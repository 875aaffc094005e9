#!/usr/bin/env python3
"""Turns the standard's tables (CSV, one fact per row) into the INSERT statements of the general database.

Run once when the tables change and commit the output; the build never reads the CSV files:

    python3 tools/standard_to_sql.py <folder with the CSV files> resources/db/KELVADO_GEN_data.sql

Only facts of the 2006 edition are written: they are stamped with the edition text the program uses for it.
Facts of later editions alone have no edition value in the program and are left out.
"""
import csv
import os
import sys
import uuid

EDITION = "2006"
NORM_TEXT = "ISO 13849-1:2006, ISO 13849-2:2003"
# Fixed namespace so that regenerating gives the same identifiers.
NAMESPACE = uuid.UUID("5b0f3c56-2f7e-4a55-9d0c-4b7e1f6a2c11")

CATS = {"B": "catB", "1": "cat1", "2": "cat2", "3": "cat3", "4": "cat4"}
PLS = {"a": "plA", "b": "plB", "c": "plC", "d": "plD", "e": "plE"}
DCS = {"none": "dcNone", "low": "dcLow", "medium": "dcMedium", "high": "dcHigh"}
MTTFDS = {"low": "mttfLow", "medium": "mttfMedium", "high": "mttfHigh"}
LEVELS = {"S1": 0, "S2": 1, "F1": 0, "F2": 1, "P1": 0, "P2": 1}
YESNO = {"yes": 1, "no": 0}


class Bad(Exception):
    pass


def rows(folder, name):
    path = os.path.join(folder, name)
    with open(path, newline="", encoding="utf-8") as f:
        for line, row in enumerate(csv.DictReader(f), start=2):
            yield path, line, row


def pick(mapping, value, where):
    if value not in mapping:
        raise Bad(f"{where}: unknown value {value!r}")
    return mapping[value]


def number(text, where):
    try:
        v = float(text)
    except ValueError:
        raise Bad(f"{where}: {text!r} is not a number")
    if v != v or v in (float("inf"), float("-inf")):
        raise Bad(f"{where}: {text!r} is not a finite number")
    # Written in exponent form: the engine reads such literals as DOUBLE PRECISION directly.
    return repr(v) if "e" in repr(v) else repr(v) + "e0"


def text(value):
    return "'" + value.replace("'", "''") + "'"


def current(row):
    return EDITION in row["edition"].split(";")


def main(folder, out_path):
    out = []
    counts = {}

    def insert(table, columns, values):
        counts[table] = counts.get(table, 0) + 1
        out.append(f"INSERT INTO {table} ({', '.join(columns)}) VALUES ({', '.join(values)}, {text(NORM_TEXT)});")

    # Categories and their requirements.
    cats = {}
    conditions = {}  # text -> OID, in order of first use
    cat_conditions = []
    mttfd_req, dc_req = [], []
    for path, line, r in rows(folder, "category_requirements.csv"):
        if not current(r):
            continue
        where = f"{path}:{line}"
        cat = pick(CATS, r["cat"], where)
        item, value = r["item"], r["value"]
        c = cats.setdefault(cat, {})
        if item == "channels":
            c["channels"] = int(value)
        elif item == "ccf_relevant":
            c["ccf"] = pick(YESNO, value, where)
        elif item == "mttfd_band":
            mttfd_req.append((cat, pick(MTTFDS, value, where)))
        elif item == "dcavg_band":
            dc_req.append((cat, pick(DCS, value, where)))
        elif item in ("requirement", "assumption"):
            if not value.strip():
                raise Bad(f"{where}: empty requirement")
            if value not in conditions:
                conditions[value] = str(uuid.uuid5(NAMESPACE, "CatCondition/" + EDITION + "/" + value))
            cat_conditions.append((cat, value))
        elif item in ("max_pl", "behaviour", "principle"):
            pass  # descriptive only; the program derives the PL itself
        else:
            raise Bad(f"{where}: unknown item {item!r}")
    out.append("/* Categories */")
    for cat in CATS.values():
        c = cats.get(cat)
        if not c or "channels" not in c or "ccf" not in c:
            raise Bad(f"category {cat}: channels or CCF relevance missing")
        insert("Cat", ["Cat", "CCFRelevant", "ChannelCount", "NormVersion"],
               [text(cat), str(c["ccf"]), str(c["channels"])])
    for cat, band in mttfd_req:
        insert("CatReqMTTFd", ["Cat", "MTTFd", "NormVersion"], [text(cat), text(band)])
    for cat, band in dc_req:
        insert("CatReqDCavg", ["Cat", "DCavg", "NormVersion"], [text(cat), text(band)])
    out.append("/* Category conditions */")
    for value, oid in conditions.items():
        ccid = str(uuid.uuid5(NAMESPACE, "CatConditionId/" + value))
        insert("CatConditions", ["OID", "Text", "CCID", "NormVersion"], [text(oid), text(value), text(ccid)])
    for cat, value in cat_conditions:
        insert("CatReqConditions", ["Cat", "CatCondition", "NormVersion"], [text(cat), text(conditions[value])])

    out.append("/* DC bands */")
    model_dc = {}
    for path, line, r in rows(folder, "dc_bands.csv"):
        if not current(r):
            continue
        where = f"{path}:{line}"
        band = pick(DCS, r["band"], where)
        model_dc[band] = number(r["model_dc_for_annex_k"], where)
        insert("DC", ["DC", "DClower", "DCupper", "NormVersion"],
               [text(band), number(r["dc_lower"], where), number(r["dc_upper"], where)])

    out.append("/* MTTFd bands */")
    for path, line, r in rows(folder, "mttfd_bands.csv"):
        if not current(r):
            continue
        where = f"{path}:{line}"
        insert("MTTFd", ["MTTFd", "MTTFdlower", "MTTFdupper", "NormVersion"],
               [text(pick(MTTFDS, r["band"], where)), number(r["mttfd_lower_years"], where),
                number(r["mttfd_upper_years"], where)])

    out.append("/* Constants */")
    consts = {}
    for path, line, r in rows(folder, "constants.csv"):
        if current(r):
            consts[r["name"]] = number(r["value"], f"{path}:{line}")
    for name in ("mission_time", "required_ccf_score"):
        if name not in consts:
            raise Bad(f"constants: {name} missing")
    insert("Const", ["MinServiceLife", "ReqCCFScore", "NormVersion"],
           [consts["mission_time"], consts["required_ccf_score"]])

    out.append("/* PFH grid (Table K.1) */")
    grid = []
    for path, line, r in rows(folder, "annex_k.csv"):
        where = f"{path}:{line}"
        grid.append((pick(CATS, r["cat"], where), pick(DCS, r["dcavg_band"], where),
                     number(r["mttfd_years"], where), number(r["pfh"], where)))
    for cat, band, mttfd, pfh in grid:
        insert("PFH", ["Cat", "DCavg", "MTTFd", "PFH", "NormVersion"], [text(cat), text(band), mttfd, pfh])
    for cat, band, mttfd, pfh in grid:
        if band not in model_dc:
            raise Bad(f"PFH grid: no DC value for band {band}")
        insert("PFHi", ["Cat", "DCavg", "MTTFd", "PFH", "NormVersion"], [text(cat), model_dc[band], mttfd, pfh])

    out.append("/* PL bands */")
    for path, line, r in rows(folder, "pl_bands.csv"):
        if not current(r):
            continue
        where = f"{path}:{line}"
        insert("PLs", ["PL", "PFHlower", "PFHupper", "NormVersion"],
               [text(pick(PLS, r["pl"], where)), number(r["pfh_lower"], where), number(r["pfh_upper"], where)])

    out.append("/* Risk graph */")
    for path, line, r in rows(folder, "risk_graph.csv"):
        if not current(r):
            continue
        where = f"{path}:{line}"
        insert("RiskParams", ["ParamS", "ParamF", "ParamP", "PL", "NormVersion"],
               [str(pick(LEVELS, r["s"], where)), str(pick(LEVELS, r["f"], where)), str(pick(LEVELS, r["p"], where)),
                text(pick(PLS, r["plr"], where))])

    out.append("/* Typical values of well-tried components */")
    for path, line, r in rows(folder, "typical_values.csv"):
        if not current(r):
            continue
        where = f"{path}:{line}"
        name = r["component"]
        if r["condition"]:
            # The condition limits when the value may be used: keep it with the name the user picks.
            name += " (" + r["condition"] + ")"
        mttfd = number(r["mttfd_years"], where) if r["mttfd_years"] else "NULL"
        b10d = number(r["b10d_cycles"], where) if r["b10d_cycles"] else "NULL"
        if mttfd == "NULL" and b10d == "NULL":
            raise Bad(f"{where}: neither MTTFd nor B10d")
        insert("GEPMTTFd", ["PartName", "WellTriedRef", "Standards", "TypicalMTTFd", "TypicalB10d", "NormVersion"],
               [text(name), text(r["well_tried_ref"]), text(r["other_standards"]), mttfd, b10d])

    out.append("/* PL conditions: requirements beyond the PFH that apply to a PL */")
    pl_conditions = {}  # text -> (OID, PLs), in file order
    for path, line, r in rows(folder, "pl_conditions.csv"):
        if not current(r):
            continue
        where = f"{path}:{line}"
        value = r["text"].strip()
        if not value:
            raise Bad(f"{where}: empty condition")
        if len(value) > 2048:
            raise Bad(f"{where}: condition longer than 2048 characters")
        if value in pl_conditions:
            raise Bad(f"{where}: condition listed twice")
        pls = [pick(PLS, p.strip(), where) for p in r["pl"].split(";")]
        if len(set(pls)) != len(pls):
            raise Bad(f"{where}: a PL listed twice")
        oid = str(uuid.uuid5(NAMESPACE, "PLCondition/" + EDITION + "/" + value))
        pl_conditions[value] = (oid, pls)
        plcid = str(uuid.uuid5(NAMESPACE, "PLConditionId/" + value))
        insert("PLConditions", ["OID", "Text", "PLCID", "NormVersion"], [text(oid), text(value), text(plcid)])
    for value, (oid, pls) in pl_conditions.items():
        for pl in pls:
            insert("PLReqConditions", ["PL", "PLCondition", "NormVersion"], [text(pl), text(oid)])

    out.append("/* Types of safety functions */")
    sf_types = set()
    for path, line, r in rows(folder, "sf_types.csv"):
        if not current(r):
            continue
        where = f"{path}:{line}"
        name = r["name"].strip()
        if not name or len(name) > 255:
            raise Bad(f"{where}: a type name must have 1 to 255 characters")
        if name in sf_types:
            raise Bad(f"{where}: type listed twice")
        sf_types.add(name)
        insert("SFTypes", ["Name", "NormVersion"], [text(name)])

    head = [
        "/* Content of the general database: the standard's tables as facts of the edition",
        f"   '{NORM_TEXT}'. Generated by tools/standard_to_sql.py; do not edit by hand.",
        "   Rows per table: " + ", ".join(f"{t} {n}" for t, n in counts.items()) + ". */",
        "",
    ]
    with open(out_path, "w", encoding="utf-8", newline="\n") as f:
        f.write("\n".join(head + out) + "\n\n/*COMMIT;*/\n")
    for t, n in counts.items():
        print(f"{t}: {n}")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    try:
        main(sys.argv[1], sys.argv[2])
    except Bad as e:
        sys.exit(f"error: {e}")
