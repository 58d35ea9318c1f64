#!/usr/bin/env python3
"""Fills the guest's root folder with the mipsel test programs of some builds.

    collect.py ROOT [--elf SRC:DEST]... [--libdir DIR]... SET=BUILD_DIR...

Every test that ctest runs under the emulator in BUILD_DIR becomes one line of
ROOT/tests.list (set, name, skip code, time limit, folder, command). Programs
and the files and folders named on their command lines keep their paths, so
the commands run unchanged; each program gets its loader and the shared
libraries it needs (found as the target's loader would find them), stripped.
--elf adds another program (and its libraries) at DEST; --libdir adds a folder
where libraries are looked for.
"""
import json
import os
import shlex
import shutil
import subprocess
import sys

STRIP = "mipsel-linux-gnu-strip"
# Where the target's loaders look, as qemu-user sees them with QEMU_LD_PREFIX=/.
SYSTEM_DIRS = ["/lib/mipsel-linux-gnu", "/usr/lib/mipsel-linux-gnu", "/usr/mipsel-linux-gnu/lib"]
# In the guest every such library goes where glibc's loader looks first.
GUEST_LIBDIR = "/lib/mipsel-linux-gnu"


def is_elf(path):
    with open(path, "rb") as f:
        return f.read(4) == b"\x7fELF"


def dynamic(path):
    """The interpreter, NEEDED entries and run paths of an ELF file."""
    out = subprocess.run(["readelf", "-d", "-l", "-W", path], capture_output=True, text=True, check=True).stdout
    interp, needed, runpath = None, [], []
    for line in out.splitlines():
        if "[Requesting program interpreter:" in line:
            interp = line.split(":", 1)[1].strip(" ]")
        elif "(NEEDED)" in line:
            needed.append(line.split("[", 1)[1].rstrip("]"))
        elif "(RUNPATH)" in line or "(RPATH)" in line:
            runpath += line.split("[", 1)[1].rstrip("]").split(":")
    return interp, needed, runpath


class Root:
    def __init__(self, root, libdirs):
        self.root = root
        self.libdirs = libdirs
        self.done = set()

    def place(self, src, dest):
        """Copies src (a stripped copy of an ELF file) to dest in the guest."""
        target = os.path.join(self.root, dest.lstrip("/"))
        if target in self.done:
            return
        self.done.add(target)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        real = os.path.realpath(src)
        if is_elf(real):
            subprocess.run([STRIP, "-o", target, real], check=True, capture_output=True)
            shutil.copymode(real, target)
            self.libraries(real)
        else:
            shutil.copy2(real, target)

    def libraries(self, path):
        interp, needed, runpath = dynamic(path)
        musl = interp is not None and "musl" in interp
        if interp:
            self.place(interp, interp)
        for name in needed:
            if musl and name == "libc.so":
                continue  # musl's loader is its C library
            for d in runpath:
                if os.path.exists(os.path.join(d, name)):
                    self.place(os.path.join(d, name), os.path.join(d, name))
                    break
            else:
                for d in self.libdirs + SYSTEM_DIRS:
                    if os.path.exists(os.path.join(d, name)):
                        self.place(os.path.join(d, name), os.path.join(GUEST_LIBDIR, name))
                        break
                else:
                    sys.exit(f"collect: {path} needs {name}, found nowhere")

    def tree(self, path):
        """A file or folder named on a command line, at the same path."""
        if os.path.isdir(path):
            shutil.copytree(path, os.path.join(self.root, path.lstrip("/")), dirs_exist_ok=True)
        else:
            self.place(path, path)


def tests_of(build):
    out = subprocess.run(["ctest", "--show-only=json-v1"], cwd=build, capture_output=True, text=True,
                         check=True).stdout
    for test in json.loads(out)["tests"]:
        command = test.get("command") or []
        if not command or os.path.basename(command[0]) != "qemu-mipsel-static":
            continue  # runs on the host (scripts), not a target program
        props = {p["name"]: p["value"] for p in test.get("properties", [])}
        yield test["name"], command[1:], props


def main():
    args = sys.argv[1:]
    if not args:
        sys.exit(__doc__)
    root, args = args[0], args[1:]
    extra, libdirs, sets = [], [], []
    while args:
        a = args.pop(0)
        if a == "--elf":
            extra.append(args.pop(0).split(":", 1))
        elif a == "--libdir":
            libdirs.append(args.pop(0))
        else:
            sets.append(a.split("=", 1))
    r = Root(root, libdirs)
    for src, dest in extra:
        r.place(src, dest)
    lines = []
    for name, build in sets:
        build = os.path.abspath(build)
        for test, command, props in tests_of(build):
            for word in command:
                if word.startswith("/") and os.path.exists(word):
                    r.tree(word)
            env = ["env"] + props.get("ENVIRONMENT", []) if props.get("ENVIRONMENT") else []
            folder = props.get("WORKING_DIRECTORY", os.path.dirname(command[0]))
            os.makedirs(os.path.join(root, folder.lstrip("/")), exist_ok=True)
            lines.append("\t".join([name, test, str(props.get("SKIP_RETURN_CODE", -1)),
                                    str(int(props.get("TIMEOUT", 600))), folder,
                                    " ".join(shlex.quote(w) for w in env + command)]))
    with open(os.path.join(root, "tests.list"), "w") as f:
        f.write("\n".join(lines) + "\n")
    print(f"collect: {len(lines)} test programs")


if __name__ == "__main__":
    main()
