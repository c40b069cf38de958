"""The product's names, read from engine/product.h, where the program takes
them from too."""
import os
import re

HEADER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "engine", "product.h")


def _defines():
    with open(HEADER, encoding="ascii") as f:
        return dict(re.findall(r'^#define (\w+) "(.*)"$', f.read(), re.MULTILINE))


_DEFINES = _defines()
CLSID = _DEFINES["SORVAN_CONTROL_CLSID"]
# The four components, in the order the setup handles them: the control first.
COMPONENTS = tuple(_DEFINES[f"SORVAN_COMPONENT_{i}"] for i in range(1, 5))
SETUP_EXE = _DEFINES["SORVAN_SETUP_EXE"]
DIGESTS_MARKER = _DEFINES["SORVAN_DIGESTS_MARKER"].encode("ascii")
