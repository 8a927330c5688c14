"""A translation is complete: lupdate, run on a copy of the .ts, finds no text of the code that
is missing or unfinished there, none that the code no longer has, and every translation keeps the
placeholders (%1, %2, ...) of its source."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree

lupdate, ts, sources = sys.argv[1], sys.argv[2], sys.argv[3:]
with tempfile.TemporaryDirectory() as work:
    copy = shutil.copy(ts, work)
    subprocess.run([lupdate, "-silent", *sources, "-ts", copy], check=True, timeout=120)
    root = ElementTree.parse(copy).getroot()

faults = []
for context in root.iter("context"):
    for message in context.iter("message"):
        source, translation = message.findtext("source"), message.find("translation")
        where = f"{context.findtext('name')}: {source!r}"
        # A text with a count has one form a number; each must be there and keep the placeholders.
        forms = [form.text or "" for form in translation.iter("numerusform")] or [translation.text or ""]
        if translation.get("type") in ("vanished", "obsolete"):
            faults.append("no longer in the code: " + where)
        elif translation.get("type") == "unfinished" or not all(form.strip() for form in forms):
            faults.append("not translated: " + where)
        else:
            for form in forms:
                if sorted(re.findall(r"%\d", source)) != sorted(re.findall(r"%\d", form)):
                    faults.append(f"placeholders differ: {where} -> {form!r}")
print("\n".join(faults + [f"{os.path.basename(ts)}: {len(faults)} entries need work"]))
if faults:
    print("run 'cmake --build build --target update_translations', then translate them")
print(f"{int(not faults)} passed, {int(bool(faults))} failed")
sys.exit(1 if faults else 0)
