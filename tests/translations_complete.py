"""A translation is complete: lupdate, run on a copy of the .ts, finds no text of the code that
the .ts lacks or leaves unfinished, none that the code no longer has, and every translation keeps
the placeholders (%1, %2, ...) of its source text."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree

lupdate, ts, sources = sys.argv[1], sys.argv[2], sys.argv[3:]
with tempfile.TemporaryDirectory() as work:
    copy = os.path.join(work, os.path.basename(ts))
    shutil.copyfile(ts, copy)
    subprocess.run([lupdate, "-silent", *sources, "-ts", copy], check=True, timeout=120,
                   stdin=subprocess.DEVNULL)
    root = ElementTree.parse(copy).getroot()


def placeholders(text):
    return sorted(re.findall(r"%\d", text or ""))


faults = []
messages = 0
for context in root.iter("context"):
    for message in context.iter("message"):
        messages += 1
        where = f"{context.findtext('name')}: {message.findtext('source')!r}"
        translation = message.find("translation")
        kind = translation.get("type")
        if kind in ("vanished", "obsolete"):
            faults.append(f"no longer in the code: {where}")
        elif kind == "unfinished" or not (translation.text or "").strip():
            faults.append(f"not translated: {where}")
        elif placeholders(translation.text) != placeholders(message.findtext("source")):
            faults.append(f"placeholders differ: {where} -> {translation.text!r}")

for fault in faults:
    print(fault)
if faults:
    print(f"{os.path.basename(ts)}: {len(faults)} of {messages} entries need work; run "
          "'cmake --build build --target update_translations' and translate them")
    print("0 passed, 1 failed")
    sys.exit(1)
print(f"{os.path.basename(ts)}: all {messages} entries translated")
print("1 passed, 0 failed")
