"""Runs every Python example of a Markdown file, in order, each in a fresh namespace, and
says how many ran: python readme_examples.py README.md"""

import re
import sys

text = open(sys.argv[1], encoding="utf-8").read()
blocks = re.findall(r"^```python\n(.*?)^```", text, flags=re.S | re.M)
for number, block in enumerate(blocks, 1):
    try:
        exec(compile(block, f"{sys.argv[1]} example {number}", "exec"), {"__name__": "__main__"})
    except Exception:
        print(f"example {number} of {sys.argv[1]} failed:\n{block}", file=sys.stderr)
        raise
print(f"{len(blocks)} examples of {sys.argv[1]} ran")
