#!/usr/bin/env python3
"""Builds the two Debian packages into a temporary folder and checks them.

    check_packages.py --build BUILD_DIR

- each package holds its own programs and man pages and none of the other's;
- the README shipped in tessra-swm names only files that are in the package
  (and man pages of the two packages);
- the desktop entry passes desktop-file-validate;
- lintian reports no error and no warning.

Exit status 77 (skipped) where cpack or dpkg-deb is missing; a missing
lintian or desktop-file-validate skips only its own check.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

# What each package must hold and must not hold (paths without the leading /).
EXPECTED = {
    "tessra-swm": {
        "has": ["usr/bin/tessra-swm", "usr/bin/tessra-swm-inspect",
                "usr/share/man/man1/tessra-swm.1.gz", "usr/share/man/man1/tessra-swm-inspect.1.gz",
                "usr/share/applications/tessra-swm.desktop",
                "usr/share/doc/tessra-swm/copyright", "usr/share/doc/tessra-swm/changelog.Debian.gz",
                "usr/share/doc/tessra-swm/README"],
        "lacks": ["usr/bin/tessra-update-server", "usr/bin/tessra-publish"],
    },
    "tessra-update-server": {
        "has": ["usr/bin/tessra-update-server", "usr/share/man/man1/tessra-update-server.1.gz",
                "usr/share/doc/tessra-update-server/copyright",
                "usr/share/doc/tessra-update-server/changelog.Debian.gz",
                "usr/share/tessra-update-server/nginx/tessra-updates.conf"],
        "lacks": ["usr/bin/tessra-swm", "usr/bin/tessra-swm-inspect"],
    },
}

failures = []


def check(ok, what):
    print(f"  {'ok  ' if ok else 'FAIL'} {what}", flush=True)
    if not ok:
        failures.append(what)


def contents(deb):
    out = subprocess.run(["dpkg-deb", "--fsys-tarfile", deb], capture_output=True, check=True)
    listing = subprocess.run(["tar", "-tvf", "-"], input=out.stdout, capture_output=True,
                             check=True).stdout.decode()
    entries = {}
    for line in listing.splitlines():
        fields = line.split(None, 5)
        path = fields[5].split(" -> ")[0].lstrip("./").rstrip("/")
        entries[path] = fields[0]
    return entries


def main(argv):
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    args = parser.parse_args(argv)
    build = os.path.abspath(args.build)
    missing = [p for p in ("cpack", "dpkg-deb", "dpkg-shlibdeps") if not shutil.which(p)]
    if missing:
        print(f"skipped: {', '.join(missing)} not installed")
        return 77

    with tempfile.TemporaryDirectory(prefix="tessra-packages-") as work:
        made = subprocess.run(["cpack", "-G", "DEB", "-B", work, "--config",
                               os.path.join(build, "CPackConfig.cmake")],
                              capture_output=True, text=True)
        if made.returncode != 0:
            print(made.stdout + made.stderr)
            return 1
        debs = {}
        for name in os.listdir(work):
            match = re.match(r"([a-z0-9.+-]+?)_[^_]+_[^_]+\.deb$", name)
            if match:
                debs[match.group(1)] = os.path.join(work, name)
        check(sorted(debs) == sorted(EXPECTED), f"packages {', '.join(sorted(debs))}")

        files = {}
        for package, deb in sorted(debs.items()):
            print(f"{os.path.basename(deb)}:")
            entries = contents(deb)
            files[package] = entries
            want = EXPECTED.get(package, {"has": [], "lacks": []})
            absent = [p for p in want["has"] if p not in entries]
            check(not absent, "holds its programs, man pages and documents"
                  + (f" (missing {', '.join(absent)})" if absent else ""))
            stray = [p for p in want["lacks"] if p in entries]
            check(not stray, "holds none of the other package's programs"
                  + (f" (has {', '.join(stray)})" if stray else ""))
            modes = {p: m for p, m in entries.items() if m[0] == "-"}
            wrong = [p for p, m in modes.items()
                     if m[1:] != ("rwxr-xr-x" if p.startswith("usr/bin/") else "rw-r--r--")]
            check(not wrong, "programs 0755, other files 0644"
                  + (f" (not: {', '.join(wrong)})" if wrong else ""))

        # Every icon drawn for the program is in the hicolor theme at its size.
        folder = os.path.join(os.path.dirname(HERE), "resources", "icons")
        names = os.listdir(folder) if os.path.isdir(folder) else []
        sizes = sorted(int(m.group(1)) for m in
                       (re.match(r"tessra-swm-(\d+)\.png$", n) for n in names) if m)
        swm = files.get("tessra-swm", {})
        absent = [n for n in sizes if f"usr/share/icons/hicolor/{n}x{n}/apps/tessra-swm.png" not in swm]
        check(not absent, f"icons in the hicolor theme: {', '.join(map(str, sizes)) or 'none'} px"
              + (f" (missing {', '.join(map(str, absent))})" if absent else ""))

        # The README may name files of its own package and man pages of both.
        readme = os.path.join(HERE, "README.tessra-swm")
        with open(readme) as f:
            text = f.read()
        paths = set(re.findall(r"(?<![\w$~.])/usr/[\w./-]+\w", text))
        absent = sorted(p for p in paths if p.lstrip("/") not in swm)
        check(not absent, f"README names {len(paths)} installed paths, all in the package"
              + (f" (not: {', '.join(absent)})" if absent else ""))
        pages = set(re.findall(r"\bman\s+(tessra-[\w-]+)", text))
        every = {p for entries in files.values() for p in entries}
        absent = sorted(p for p in pages if f"usr/share/man/man1/{p}.1.gz" not in every)
        check(pages and not absent, f"README's man pages are packaged ({', '.join(sorted(pages))})"
              + (f" (not: {', '.join(absent)})" if absent else ""))

        # The changelog's top entry is the packages' version.
        if "tessra-swm" in debs:
            version = subprocess.run(["dpkg-deb", "-f", debs["tessra-swm"], "Version"],
                                     capture_output=True, text=True).stdout.strip()
            with open(os.path.join(HERE, "changelog")) as f:
                top = f.readline()
            check(f"({version})" in top, f"changelog starts at the package version {version}")

        if shutil.which("desktop-file-validate"):
            result = subprocess.run(["desktop-file-validate",
                                     os.path.join(HERE, "tessra-swm.desktop")],
                                    capture_output=True, text=True)
            check(result.returncode == 0 and not result.stdout.strip(),
                  "desktop entry valid" + (f": {result.stdout.strip()}" if result.stdout else ""))
        else:
            print("  desktop-file-validate not installed: desktop entry not validated")

        if shutil.which("lintian"):
            result = subprocess.run(["lintian", "--fail-on", "error,warning", *debs.values()],
                                    capture_output=True, text=True)
            tags = [line for line in result.stdout.splitlines() if re.match(r"[EW]: ", line)]
            check(result.returncode == 0 and not tags,
                  "lintian: no errors or warnings" + "".join(f"\n        {t}" for t in tags))
        else:
            print("  lintian not installed: packages not linted (make deps installs it)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
