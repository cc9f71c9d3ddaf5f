"""Prints the benchmark results of several interpreters side by side.

    combine.py results-3.13.json results-3.14.json results-3.15.json

One line per row and workload: for each interpreter, sprig's ns per node and its speed-up
over the peer on that interpreter; then sprig's time on each version against its time on
the reference version (3.14). The peers' speed differs by version, sprig's should not: a
version whose sprig time exceeds 1.25 times the reference on a row is flagged (floor rows,
which time work outside sprig, are shown but not judged), and the exit status is 1 when any
is. Each flagged row also gives the peer's time against its reference time: where that is
as high, the interpreter itself is slower at what the row spends its time on (the Python
code a visitor's handlers or a loop run per node, parsing, dictionary stores).
"""

import json
import sys

REFERENCE = "3.14"
LIMIT = 1.25


def minor(result):
    return ".".join(result["version"].split(".")[:2])


def main(paths):
    results = {}
    for path in paths:
        with open(path) as f:
            result = json.load(f)
        results[minor(result)] = result
    versions = sorted(results, key=lambda v: tuple(map(int, v.split("."))))
    keyed = {v: {(r["operation"], r["workload"]): r for r in results[v]["rows"]}
             for v in versions}
    order = []
    for v in versions:
        for r in results[v]["rows"]:
            if (r["operation"], r["workload"]) not in order:
                order.append((r["operation"], r["workload"]))

    for v in versions:
        r = results[v]
        print(f"python {r['version']}: {r['modules']} modules, {r['nodes']:,} nodes of "
              f"{r['corpus']}; node dictionaries read in place: "
              f"{'yes' if r.get('direct_reads') else 'NO'}")
    print()
    head = ["operation", "workload"]
    for v in versions:
        head += [f"{v} sprig ns", f"{v} peer/sprig"]
    others = [v for v in versions if v != REFERENCE and REFERENCE in versions]
    head += [f"{v}/{REFERENCE}" for v in others]
    lines, over = [head], []
    for key in order:
        op, workload = key
        line = [op, workload]
        for v in versions:
            r = keyed[v].get(key)
            line += [f"{r['sprig_ns_per_node']:.2f}", f"{r['ratio']:.1f}x"] if r else ["-", "-"]
        ref = keyed.get(REFERENCE, {}).get(key)
        for v in others:
            r = keyed[v].get(key)
            if not (r and ref):
                line.append("-")
                continue
            rel = r["sprig_ns_per_node"] / ref["sprig_ns_per_node"]
            # Floor rows time work outside sprig: shown, not judged.
            flag = " !" if rel > LIMIT and not op.startswith("floor: ") else ""
            if flag:
                peer = r["peer_ns_per_node"] / ref["peer_ns_per_node"]
                over.append(f"{op} ({workload}) on {v}: {rel:.2f} times its {REFERENCE} time "
                            f"(the peer: {peer:.2f})")
            line.append(f"{rel:.2f}{flag}")
        lines.append(line)
    widths = [max(len(l[i]) for l in lines) for i in range(len(head))]
    for l in lines:
        print("  ".join(c.ljust(w) if i < 2 else c.rjust(w)
                        for i, (c, w) in enumerate(zip(l, widths))).rstrip())
    print()
    if over:
        print(f"over {LIMIT} times the {REFERENCE} time:")
        for o in over:
            print("  " + o)
        return 1
    if others:
        print(f"every version within {LIMIT} times its {REFERENCE} time on every row")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
