#!/usr/bin/env python3
"""Reads every #include of the product folders and checks it against the
allowed edges between layers. Prints each include that crosses a forbidden
edge as FILE:LINE and exits 1 when there is any.

Usage: check_layers.py REPO_ROOT QT_INCLUDE_ROOT [FILE...]
QT_INCLUDE_ROOT holds QtCore/, QtGui/, ... (a header's module is the folder
it lives in). FILEs (repository-relative) limit the check to them.
"""
import os
import re
import sys

# Each product folder, in the order a path is matched (longest first), with
# the folders of this repository it may include. Data flows one way: the
# program over the windows, the windows over the services, the services over
# the engine, the operating-system layer and the saved scans.
ALLOWED = {
    "app": ["app", "ui/windows", "ui/widgets", "ui/kit", "services", "platform",
            # The composition root: the program registers every file system
            # and the saving and loading of scan results.
            "engine/all/AllLibraries.h", "savedscan/SaveRestoreResult.h"],
    "ui/windows": ["ui/windows", "ui/widgets", "ui/kit", "services", "platform"],
    # Widgets show what their window tells them; the facade is the window's.
    "ui/widgets": ["ui/widgets", "ui/kit", "services", "platform"],
    "ui/kit": ["ui/kit", "platform"],
    # The services hand the saved scans what a save writes and the scan a
    # load replays into: the saved scans sit below them and never reach up.
    "services": ["services", "savedscan", "engine", "platform"],
    "savedscan": ["savedscan", "engine", "platform"],
    # The operating-system side of the engine's own small interfaces.
    "platform": ["platform", "engine/include"],
    # The thumbnail program reads picture containers with the engine's
    # bounds-checked byte reader (a header alone) rather than a second copy.
    "platform/thumbnailer": ["platform", "engine/include", "engine/common/Bytes.h"],
    "engine": ["engine"],
    # Inside the engine each file system (and the carver, which the deep scan
    # runs as one) reaches only the shared interfaces and helpers below it, so
    # adding or removing one touches its own folder and engine/all. A folder
    # of engine/ not named here and not in ENGINE_DRIVERS is a file system's
    # and gets FILE_SYSTEM_ALLOWED; the named ones add their exceptions.
    "engine/fat": ["engine/fat", "engine/include", "engine/common", "engine/utility", "engine/device",
                   # Folder sectors recovered without a tree are typed by the
                   # carver's analysers rather than a second registry of formats.
                   "engine/carver/RawFileAnalyserList.h"],
    "engine/ntfs": ["engine/ntfs", "engine/include", "engine/common", "engine/utility", "engine/device",
                    # The compressed-file reader is the writer's file reader
                    # with LZNT1 units; it writes through the writer's file.
                    "engine/writer/FileReader.h", "engine/writer/DestinationFile.h"],
    # The shared layers name no file system.
    "engine/include": ["engine/include"],
    "engine/common": ["engine/common", "engine/include"],
    "engine/utility": ["engine/utility", "engine/include"],
    "engine/device": ["engine/device", "engine/include", "engine/common", "engine/utility"],
}
# What a file system's folder may include besides itself.
FILE_SYSTEM_ALLOWED = ["engine/include", "engine/common", "engine/utility", "engine/device"]
# The engine's folders that drive the file systems through the table or work
# on what they found; they keep the engine's own rule.
ENGINE_DRIVERS = {"all", "controller", "volume", "enumeration", "partition", "tree", "writer", "filter"}
# Includes a layer may not make although its folder is allowed.
FORBIDDEN = {
    "ui/widgets": [(re.compile(r"^services/UI[A-Za-z]*\.h$"),
                    "a widget never reaches the facade or its operations; its window tells it")],
}
# Qt modules per layer: the engine uses none; the layers below the windows
# only those without a screen.
QT_SCREENLESS = {"QtCore", "QtNetwork", "QtDBus", "QtConcurrent", "QtXml", "QtSql"}
QT_RULE = {
    "engine": set(),
    "platform": QT_SCREENLESS,
    "platform/thumbnailer": set(),
    "services": QT_SCREENLESS,
    "savedscan": QT_SCREENLESS,
}
LAYERS = sorted(ALLOWED, key=len, reverse=True)
PROJECT_ROOTS = ("engine/", "platform/", "services/", "savedscan/", "ui/", "app/", "bench/", "tests/", "tools/")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^">]+)[">]')
SOURCES = (".h", ".hpp", ".cpp", ".cc")


def layer_of(path):
    for layer in LAYERS:
        if path == layer or path.startswith(layer + "/"):
            return layer
    return None


def qt_module(header, qt_root):
    """The Qt module a header belongs to, None when it is not Qt's."""
    first = header.split("/", 1)[0]
    if "/" in header and first.startswith("Qt") and os.path.isdir(os.path.join(qt_root, first)):
        return first
    if not header.startswith("Q"):
        return None
    for module in sorted(os.listdir(qt_root)):
        if module.startswith("Qt") and os.path.isfile(os.path.join(qt_root, module, header)):
            return module
    # A Q-header not installed here (e.g. a module this machine lacks) is Qt's all the same.
    return "Qt?" if re.match(r"^Q[A-Z][A-Za-z]*$", header) else None


def check_file(root, rel, qt_root):
    layer = layer_of(rel)
    problems = []
    with open(os.path.join(root, rel), encoding="utf-8", errors="replace") as f:
        for number, line in enumerate(f, 1):
            m = INCLUDE.match(line)
            if not m:
                continue
            header = m.group(2)
            where = f"{rel}:{number}: #include {m.group(1)}{header}{'>' if m.group(1) == '<' else chr(34)}"
            if header.startswith(PROJECT_ROOTS):
                if not any(header == a or header.startswith(a.rstrip("/") + "/") for a in ALLOWED[layer]):
                    target = layer_of(header) or header.split("/", 1)[0]
                    problems.append(f"{where}: {layer} may not include {target}")
                    continue
                for pattern, why in FORBIDDEN.get(layer, []):
                    if pattern.match(header):
                        problems.append(f"{where}: {why}")
                continue
            if m.group(1) == '"' and "/" not in header:
                problems.append(f"{where}: write includes from the repository root")
                continue
            module = qt_module(header, qt_root)
            if module and layer in QT_RULE and module not in QT_RULE[layer]:
                allowed = ", ".join(sorted(QT_RULE[layer])) or "no Qt"
                problems.append(f"{where}: {layer} may use {allowed}, not {module}")
    return problems


def add_file_system_folders(root):
    """Gives every file-system folder of engine/ the file systems' rule."""
    global LAYERS
    base = os.path.join(root, "engine")
    for d in sorted(os.listdir(base)) if os.path.isdir(base) else []:
        layer = "engine/" + d
        if os.path.isdir(os.path.join(base, d)) and d not in ENGINE_DRIVERS and layer not in ALLOWED:
            ALLOWED[layer] = [layer] + FILE_SYSTEM_ALLOWED
    LAYERS = sorted(ALLOWED, key=len, reverse=True)


def product_files(root):
    for layer in LAYERS:
        base = os.path.join(root, layer)
        for folder, dirs, files in os.walk(base):
            dirs[:] = sorted(d for d in dirs if os.path.join(os.path.relpath(folder, root), d) not in ALLOWED)
            for name in sorted(files):
                if name.endswith(SOURCES):
                    yield os.path.relpath(os.path.join(folder, name), root)


def main(argv):
    if len(argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    root, qt_root = argv[1], argv[2]
    if not os.path.isdir(os.path.join(qt_root, "QtCore")):
        print(f"check_layers: no QtCore/ under {qt_root} (package qt6-base-dev)", file=sys.stderr)
        return 2
    add_file_system_folders(root)
    files = argv[3:] or list(product_files(root))
    problems = []
    for rel in files:
        if layer_of(rel):
            problems += check_file(root, rel, qt_root)
    for p in problems:
        print(p)
    print(f"check_layers: {len(files)} files, {len(problems)} forbidden includes")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
