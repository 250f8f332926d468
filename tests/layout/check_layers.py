#!/usr/bin/env python3
"""Holds the console's folders to the layers their build files declare.

Each folder builds one library; its CMakeLists.txt names the libraries it
uses. A source may include headers only from its own library and from the
libraries that one uses, directly or through another, so that a header
included without its library declared (which links anyway, inside the one
executable) is caught here. The libraries themselves must not use each other
in a circle, which CMake allows for static libraries.
"""
import os
import re
import sys

FOLDERS = ["store", "server", "chrome", "records", "services", "desktop", "lists", "users",
           "projects", "backup", "app"]


def parse(root):
    """Libraries by name: their folder, their sources and what they link."""
    libraries = {}
    for folder in FOLDERS:
        text = open(os.path.join(root, folder, "CMakeLists.txt")).read()
        text = re.sub(r"#[^\n]*", "", text)
        for name, body in re.findall(r"add_library\((trevok_\w+)\s+([^)]*)\)", text):
            words = body.split()
            sources = set()
            for word in words[1:]:
                if "/" in word:
                    raise ValueError("%s builds %s, which is not in its folder" % (name, word))
                if word.endswith((".h", ".cpp")):
                    sources.add(folder + "/" + word)
            libraries[name] = {"folder": folder, "sources": sources, "uses": set(),
                               "interface": words[0] == "INTERFACE"}
        for name, body in re.findall(r"target_link_libraries\((trevok_\w+)\s+([^)]*)\)", text):
            if name in libraries:
                libraries[name]["uses"] |= {w for w in body.split()
                                            if w.startswith("trevok_") and w != "trevok_warnings"}
    return libraries


def reachable(libraries, start, trail=()):
    if start in trail:
        raise ValueError(" -> ".join(trail + (start,)))
    found = {start}
    for used in libraries.get(start, {}).get("uses", ()):
        found |= reachable(libraries, used, trail + (start,))
    return found


def main(root):
    libraries = parse(root)
    faults = []
    owner = {}
    for name, library in libraries.items():
        for source in library["sources"]:
            owner[source] = name
    for name in libraries:
        try:
            reachable(libraries, name)
        except ValueError as circle:
            faults.append("libraries use each other in a circle: %s" % circle)
    if faults:
        print("\n".join(faults))
        return 1
    folder_library = {lib["folder"]: name for name, lib in libraries.items() if not lib["interface"]}
    for folder in FOLDERS:
        for entry in sorted(os.listdir(os.path.join(root, folder))):
            path = folder + "/" + entry
            if not entry.endswith((".h", ".cpp")):
                continue
            library = owner.get(path, folder_library.get(folder))
            allowed_folders, allowed_headers = set(), set()
            for used in reachable(libraries, library):
                if libraries[used]["interface"]:
                    allowed_headers |= libraries[used]["sources"]
                else:
                    allowed_folders.add(libraries[used]["folder"])
            text = open(os.path.join(root, path)).read()
            for header in re.findall(r'#include "(\w+/\w+\.h)"', text):
                if header.split("/")[0] not in allowed_folders and header not in allowed_headers:
                    faults.append("%s (in %s) includes %s, which its library does not use"
                                  % (path, library, header))
    print("\n".join(faults) if faults else "every include follows the declared layers")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else os.getcwd()))
