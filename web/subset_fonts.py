"""Cuts the page's own faces out of the system's Noto Sans CJK collections.

The interface and the terminals are drawn in Noto Sans CJK TC and its monospaced sibling. Drawn
from the system's collections, a few dozen glyphs map megabytes of them into the web process:
each face's character map and metrics tables, and the pages around every glyph. These subsets
hold what the page itself writes: the program's own texts (every character outside ASCII found in
the sources named), ASCII, and for the terminals the Latin, punctuation, box-drawing and block
ranges, with every character of those texts below the CJK blocks. The terminals take the rest
(ideographs, CJK punctuation, full-width forms) from the interface face, where they are as wide as
in the mono face; its Latin, Greek and Cyrillic are proportional instead. Anything else falls back
to the system's faces, which draw it the same way.

    python3 subset_fonts.py <regular.ttc> <bold.ttc> <output dir> <source dir>...
"""
import pathlib
import sys

from fontTools import subset
from fontTools.ttLib import TTCollection

UI_FAMILY = "Noto Sans CJK TC"
MONO_FAMILY = "Noto Sans Mono CJK TC"
TEXT_SUFFIXES = {".js", ".html", ".css", ".cpp", ".h"}
ASCII = set(range(0x20, 0x7F))
MONO_RANGES = [
    (0xA0, 0xFF),  # Latin-1
    (0x2010, 0x2027),  # dashes, quotes, bullets, ellipsis
    (0x2190, 0x2199),  # arrows
    (0x2500, 0x259F),  # box drawing, blocks
    (0x25A0, 0x25FF),  # geometric shapes
]
CJK_START = 0x2E80


def text_characters(dirs):
    found = set()
    for directory in dirs:
        for path in sorted(pathlib.Path(directory).rglob("*")):
            if path.suffix in TEXT_SUFFIXES and path.is_file():
                found.update(ord(c) for c in path.read_text(encoding="utf-8") if ord(c) > 0x7F)
    return found


def face_of(collection_path, family):
    collection = TTCollection(collection_path, lazy=True)
    for face in collection.fonts:
        if face["name"].getDebugName(1) == family:
            return face
    raise SystemExit(f"{collection_path}: no face named {family}")


def write_subset(collection_path, family, codepoints, target):
    face = face_of(collection_path, family)
    options = subset.Options()
    options.layout_features = ["*"]
    options.name_IDs = ["*"]
    subsetter = subset.Subsetter(options)
    subsetter.populate(unicodes=sorted(codepoints))
    subsetter.subset(face)
    partial = target.with_suffix(".partial")
    face.save(partial)
    partial.replace(target)


def main(argv):
    if len(argv) < 5:
        raise SystemExit(__doc__)
    regular, bold, out = argv[1], argv[2], pathlib.Path(argv[3])
    out.mkdir(parents=True, exist_ok=True)
    texts = text_characters(argv[4:])
    ui = ASCII | texts
    mono = ASCII | {c for c in texts if c < CJK_START}
    for first, last in MONO_RANGES:
        mono.update(range(first, last + 1))
    for weight, collection in (("regular", regular), ("bold", bold)):
        write_subset(collection, UI_FAMILY, ui, out / f"ui-{weight}.otf")
        write_subset(collection, MONO_FAMILY, mono, out / f"mono-{weight}.otf")


if __name__ == "__main__":
    main(sys.argv)
