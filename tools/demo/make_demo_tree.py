#!/usr/bin/env python3
"""Lays out a demo home for the Tessra Software Manager.

    make_demo_tree.py [--publish PROGRAM] DEST

DEST/home/    the user's side: per-user and common data folders (each with
              Tessra/2007/), the registry stand-in, ts07.cfg, the request file
              download.cfg for the installed products, the product-code files
              and state installers of the installed states, and bin/ with the
              stand-in msiexec.exe.
DEST/server/  the update server's tree: a version manifest (ver.txt) for every
              product at every version the demo can reach, the update
              installers under the names the program asks for, the alert, and
              the states that can be bought.
DEST/keys/    the demo publisher's key pair (demo.key, demo.pub), made once with
              tessra-publish and kept: every manifest and the alert are
              signed with it, and the demo's environment names demo.pub as
              the key the Software Manager requires.
DEST/demo.env the environment that points the programs at DEST/home.
DEST/demo-tree.json  what was laid out (products, versions, files), for the
              tour and the tests.

Installers are small shell scripts padded to a fixed size: when run they
record the new version in the demo's state file (Tessra/2007/demo-state.cfg in
the per-user data folder), as a real installer registers its module with the
tax program. Only DEST/home, DEST/server and the two files are replaced; the
rest of DEST is left alone.
"""

import argparse
import json
import os
import shlex
import shutil
import stat
import subprocess
import sys
import tempfile
import uuid

YEAR = 2007
EDITION = "premium"  # edition code 4, letter "p"
EDITION_LETTERS = {
    "premiumstateefile": "c",
    "premiumefile": "l",
    "premiumstate": "f",
    "premium": "p",
    "standard": "s",
    "basic": "b",
}
PROM = "TSRA"
CAMP = "200701"

# The installed products, in the order the tax program lists them in its
# request: code, name, installed version, version offered by the server,
# installer size in bytes, message of the update, message once current.
PRODUCTS = [
    ("US", "Federal", 3, 4, 1_482_752,
     "Forms 1040, 1040A and Schedules A-E final; e-file opens January 15",
     "Next federal update expected February 12, 2008"),
    ("HLP", "Help Files", 2, 3, 655_360,
     "New help topics for the Alternative Minimum Tax",
     "Next help update expected March 3, 2008"),
    ("INST", "Installer Update", 1, 2, 98_304,
     "Faster installation of state modules",
     "No installer update planned"),
    ("CA", "California", 5, 6, 409_600,
     "Form 540 and Schedule CA final",
     "Next California update expected February 20, 2008"),
    ("NY", "New York", 7, 7, 393_216,
     "Form IT-201 final",
     "Next New York update expected February 25, 2008"),
]

# States the user can buy inside Tessra: code, name, version, installer size.
# The purchase settings say installed version 100 ("0100"), so the offer is
# above it.
STORE = [
    ("NJ", "New Jersey", 101, 376_832, "Form NJ-1040 final"),
    ("PA", "Pennsylvania", 101, 360_448, "Form PA-40 final"),
]

ALERT_VERSION = 7
ALERT_MESSAGE = ("Form 8879 signatures: e-filed returns need the PIN of both "
                 "spouses from February 1, 2008.")

STATE_FILE = "demo-state.cfg"
INSTALL_LOG = "demo-installs.log"


def is_state(code):
    return code not in ("US", "HLP", "INST")


def edition_letter(edition):
    return EDITION_LETTERS.get(edition.lower(), "b")


def server_file_name(code, edition):
    """Installer name on the server: "upd.exe" with "inst"/"hlp" and, for
    the federal product and the help files, the edition letter in front."""
    name = "upd.exe"
    if code == "INST":
        name = "inst" + name
    if code == "HLP":
        name = "hlp" + name
    if code in ("US", "HLP"):
        name = edition_letter(edition) + name
    return name


def product_code_id(code):
    """The package identifier a state module's installer leaves behind."""
    return "{" + str(uuid.uuid5(uuid.NAMESPACE_DNS, f"state-{code}.{YEAR}.tessra.example")).upper() + "}"


def find_publish():
    """tessra-publish beside this source tree's build, else on PATH."""
    here = os.path.dirname(os.path.abspath(__file__))
    built = os.path.join(here, "..", "..", "build", "bin", "tessra-publish")
    return os.path.abspath(built) if os.access(built, os.X_OK) else shutil.which("tessra-publish")


class Publisher:
    """Signs the demo server's texts with the demo key, through tessra-publish."""

    def __init__(self, program, dest):
        if not program or not os.access(program, os.X_OK):
            raise FileNotFoundError(f"tessra-publish not found ({program}); build it first")
        self.program = program
        prefix = os.path.join(dest, "keys", "demo")
        self.key, self.public = prefix + ".key", prefix + ".pub"
        if not (os.path.isfile(self.key) and os.path.isfile(self.public)):
            for path in (self.key, self.public):
                if os.path.exists(path):
                    os.remove(path)
            os.makedirs(os.path.dirname(prefix), exist_ok=True)
            self.run("keygen", prefix)

    def run(self, *args):
        done = subprocess.run([self.program, *args], capture_output=True)
        if done.returncode != 0:
            raise RuntimeError(f"tessra-publish {args[0]}: {done.stderr.decode(errors='replace')}")
        return done.stdout

    def manifest(self, code, version, message, installer_data, deltas=()):
        """The signed manifest of an installer with these bytes; `deltas` are
        (earlier installer's bytes, patch path) pairs, each patch made here."""
        with tempfile.TemporaryDirectory(prefix="demo-installer-") as folder:
            installer = os.path.join(folder, "installer")
            write(installer, installer_data)
            args = []
            for i, (base_data, patch) in enumerate(deltas):
                base = os.path.join(folder, f"base-{i}")
                write(base, base_data)
                os.makedirs(os.path.dirname(patch), exist_ok=True)
                self.run("delta", base, installer, patch)
                args += ["--delta", f"{base}:{patch}"]
            return self.run("manifest", "--product", code, "--year", str(YEAR), "--version",
                            str(version), "--message", message, "--key", self.key, *args,
                            installer)

    def sign(self, path):
        self.run("sign", "--key", self.key, path)


def manifest_text(code, version, size, message):
    # The first line must contain "roduct" in lower case.
    return (f"product={code}\r\nYEAR={YEAR}\r\nVERSION={version}\r\n"
            f"SIZE={size}\r\nMESSAGE={message}\r\n")


def data_folders_snippet():
    # The same folders the Software Manager resolves (per-user: TESSRA_APPDATA,
    # else XDG_DATA_HOME, else ~/.local/share; common: TESSRA_COMMON_APPDATA,
    # else /var/lib).
    return (
        'data="${TESSRA_APPDATA:-${XDG_DATA_HOME:-$HOME/.local/share}}/Tessra/2007"\n'
        'common="${TESSRA_COMMON_APPDATA:-/var/lib}/Tessra/2007"\n'
    )


def installer_script(code, name, version, kind, size):
    """A shell script of exactly `size` bytes that installs `code` at
    `version`: it sets the product's line in the state file and, for a state
    module, leaves the product-code file that a later uninstall needs."""
    head = (
        "#!/bin/sh\n"
        f"# Tessra {YEAR} demo {kind}: {name} ({code}), version {version}.\n"
        "# Records the version in the demo's state file, as a real installer\n"
        "# registers its module with the tax program.\n"
        f"code={code}\nversion={version}\n"
        + data_folders_snippet() +
        'state="$data/' + STATE_FILE + '"\n'
        'if [ ! -d "$data" ]; then echo "$0: no folder $data" >&2; exit 1; fi\n'
        'tmp="$state.$$"\n'
        "awk -F= -v c=\"$code\" -v v=\"$version\" '\n"
        '  $1 == c { if (!done) print c "=" v; done = 1; next }\n'
        '  { print }\n'
        '  END { if (!done) print c "=" v }\' "$state" >"$tmp" 2>/dev/null ||\n'
        '  printf "%s=%s\\n" "$code" "$version" >"$tmp"\n'
        'mv -f "$tmp" "$state"\n'
    )
    if is_state(code):
        head += (
            'mkdir -p "$common" &&\n'
            f'  printf "%s\\n" "{product_code_id(code)}" >"$common/$code.txt"\n'
        )
    head += (
        'printf "%s install %s %s by %s %s\\n" "$(date +%H:%M:%S)" "$code" "$version" '
        '"${0##*/}" "$*" >>"$data/' + INSTALL_LOG + '"\n'
        "exit 0\n"
    )
    return pad(head.encode(), size)


def msiexec_script():
    """Stand-in for the package installer: "/x{id} /passive" removes the
    state module whose product-code file holds {id}."""
    return (
        "#!/bin/sh\n"
        "# Stand-in for msiexec.exe in the Tessra demo: /x<package id> removes the\n"
        "# state module whose product-code file (CODE.txt) holds that id.\n"
        + data_folders_snippet() +
        'state="$data/' + STATE_FILE + '"\n'
        'id=\n'
        'for arg in "$@"; do\n'
        '  case "$arg" in /x*|/X*) id=${arg#??} ;; esac\n'
        'done\n'
        'code=\n'
        'for file in "$common"/*.txt; do\n'
        '  [ -f "$file" ] || continue\n'
        '  if [ "$(tr -d \'\\r\\n\' <"$file")" = "$id" ]; then\n'
        '    code=$(basename "$file" .txt)\n'
        '  fi\n'
        'done\n'
        'stamp=$(date +%H:%M:%S)\n'
        'if [ -z "$id" ] || [ -z "$code" ]; then\n'
        '  printf "%s msiexec %s: no such package\\n" "$stamp" "$*" >>"$data/' + INSTALL_LOG + '"\n'
        '  exit 1\n'
        'fi\n'
        'tmp="$state.$$"\n'
        'grep -v "^$code=" "$state" >"$tmp" 2>/dev/null\n'
        'mv -f "$tmp" "$state"\n'
        'printf "%s uninstall %s by msiexec.exe %s\\n" "$stamp" "$code" "$*" >>"$data/' + INSTALL_LOG + '"\n'
        'exit 0\n'
    ).encode()


def pad(head, size):
    """Pads a script with comment lines after its "exit" to exactly `size`
    bytes, so the manifest's size is the file's size."""
    if len(head) > size:
        raise ValueError(f"installer script is {len(head)} bytes, more than {size}")
    out = bytearray(head)
    line = b"# " + b"-" * 76 + b"\n"
    while size - len(out) > len(line):
        out += line
    rest = size - len(out)
    if rest == 1:
        out += b"\n"
    elif rest > 1:
        out += b"#" + b"-" * (rest - 2) + b"\n"
    assert len(out) == size
    return bytes(out)


def write(path, data, executable=False):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())
    if executable:
        mode = os.stat(path).st_mode
        os.chmod(path, mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)


def request_text(appdata, common, installed):
    """The request file the tax program writes for an update check: an edition
    line and one record of nine keys per installed product."""
    lines = [f"edition={EDITION}"]
    for code, version in installed:
        lines += [
            f"prom={PROM}",
            f"camp={CAMP}",
            f"year={YEAR}",
            f"product={code.lower()}",
            "ver=ver.txt",
            f"output={common}/Tessra/{YEAR}/Downloads/{code.lower()}-ver.txt",
            "file-bytes=0",
            f"installed-ver={version}",
            "isalert=false",
        ]
    return "\n".join(lines) + "\n"


def state_text(installed, store):
    lines = [
        f"# Tessra {YEAR} demo: the installed products (CODE=version). Kept by Tessra.exe",
        "# and by the demo installers; lower-case keys are Tessra.exe's own.",
        f"edition={EDITION}",
        f"prom={PROM}",
        f"camp={CAMP}",
        "store=" + " ".join(code for code, *_ in store),
    ]
    lines += [f"{code}={version}" for code, version in installed]
    lines += [f"seen-{code}={version}" for code, version in installed]
    return "\n".join(lines) + "\n"


def program_settings_text():
    # Typed lines of the tax program's own settings file; the Software
    # Manager reads the proxy keys and rewrites the "updated" mark.
    return (
        "string:ui_prop_user_name=Demo User\n"
        "string:ui_prop_last_return=Jordan and Casey Sample 2007\n"
        "bool:ui_prop_tessra_updated=false\n"
        "string:ui_prop_proxy_which=none\n"
        "string:ui_prop_proxy_http_server=\n"
        "string:ui_prop_proxy_http_port=\n"
        "string:ui_prop_proxy_https_server=\n"
        "string:ui_prop_proxy_https_port=\n"
    )


def registry_text():
    return (
        "# Registry stand-in of the Tessra demo: values under HKEY_CURRENT_USER.\n"
        f"SOFTWARE\\ZVN\\{YEAR}\\Edition={EDITION}\n"
        "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\ProxyEnable=0\n"
    )


def build(dest, publish=None):
    dest = os.path.abspath(dest)
    publisher = Publisher(publish or find_publish(), dest)
    home = os.path.join(dest, "home")
    server = os.path.join(dest, "server")
    for folder in (home, server):
        if os.path.isdir(folder):
            shutil.rmtree(folder)
    appdata = os.path.join(home, "appdata")
    common = os.path.join(home, "common")
    user_dir = os.path.join(appdata, "Tessra", str(YEAR))
    common_dir = os.path.join(common, "Tessra", str(YEAR))
    downloads = os.path.join(common_dir, "Downloads")
    bin_dir = os.path.join(home, "bin")
    for folder in (user_dir, downloads, bin_dir, server):
        os.makedirs(folder, exist_ok=True)

    tree = {
        "year": YEAR,
        "edition": EDITION,
        "home": home,
        "server": server,
        "appdata": appdata,
        "common": common,
        "registry": os.path.join(home, "registry.cfg"),
        "publicKey": publisher.public,
        "bin": bin_dir,
        "request": os.path.join(user_dir, "download.cfg"),
        "programSettings": os.path.join(user_dir, "ts07.cfg"),
        "stateFile": os.path.join(user_dir, STATE_FILE),
        "installLog": os.path.join(user_dir, INSTALL_LOG),
        "products": [],
        "manifests": {},
        "installers": {},
        "store": [],
        "alert": None,
        "reinstall": [],
        "delta": None,
    }

    def add_manifest(path, code, version, size, message, installer_data=None, deltas=()):
        target = os.path.join(server, path.lstrip("/"))
        if installer_data is None:  # the alert: no installer, signed as written
            write(target, manifest_text(code, version, size, message))
            publisher.sign(target)
        else:
            assert len(installer_data) == size
            write(target, publisher.manifest(code, version, message, installer_data, deltas))
        tree["manifests"][path] = {"product": code, "version": version, "size": size,
                                   "message": message}

    def add_installer(path, data):
        write(os.path.join(server, path.lstrip("/")), data, executable=True)
        tree["installers"][path] = len(data)

    base = f"/updates/{YEAR}/win"
    for code, name, installed, offered, size, update_message, current_message in PRODUCTS:
        folder = f"{base}/{code.lower()}"
        installer = server_file_name(code, EDITION)
        data = installer_script(code, name, offered, "update", size)
        if offered > installed:
            deltas = []
            if code == "US":
                # The federal installer that brought version `installed` is still
                # in the update folder: the update is a patch against it.
                earlier = installer_script(code, name, installed, "update", size)
                kept = os.path.join(user_dir, "Update", f"{code}{installed - 1}{installed}"
                                    f"{edition_letter(EDITION)}upd.exe")
                write(kept, earlier, executable=True)
                patch = f"{folder}/{installed}/{code.lower()}-{installed}-{offered}.patch"
                deltas = [(earlier, os.path.join(server, patch.lstrip("/")))]
                tree["delta"] = {"product": code, "base": kept, "patch": patch,
                                 "installerSize": size}
            add_manifest(f"{folder}/{installed}/ver.txt", code, offered, size, update_message,
                         data, deltas)
            add_installer(f"{folder}/{installed}/{installer}", data)
        # The manifest once the offered version is installed: up to date.
        add_manifest(f"{folder}/{offered}/ver.txt", code, offered, size, current_message, data)
        tree["products"].append({
            "code": code, "name": name, "installed": installed, "offered": offered,
            "size": size, "installer": installer,
        })

    for code, name, version, size, message in STORE:
        folder = f"/states/{YEAR}/{code.lower()}"
        installer = f"Tessra{code}.exe"
        # A purchase asks for the installer's address with ver.txt in place of
        # the file name, for the product code in lower case.
        data = installer_script(code, name, version, "state installer", size)
        add_manifest(f"{folder}/ver.txt", code.lower(), version, size, message, data)
        add_installer(f"{folder}/{installer}", data)
        # Once bought, the state is checked for updates like the others.
        add_manifest(f"{base}/{code.lower()}/{version}/ver.txt", code, version, size,
                     f"Next {name} update expected March 1, 2008", data)
        tree["store"].append({"code": code, "name": name, "version": version,
                              "size": size, "path": f"{folder}/{installer}"})

    alert_path = f"/alert/{YEAR}/win/alert/alert.txt"
    add_manifest(alert_path, "ALERT", ALERT_VERSION, 0, ALERT_MESSAGE)
    tree["alert"] = alert_path

    # The installed states: their product-code files and the installers they
    # were installed from, which a reinstall runs again.
    for code, name, installed, *_ in PRODUCTS:
        if not is_state(code):
            continue
        write(os.path.join(common_dir, f"{code}.txt"), product_code_id(code) + "\n")
        data = installer_script(code, name, installed, "state installer", 344_064)
        write(os.path.join(downloads, f"Tessra{code}.exe"), data, executable=True)
        tree["reinstall"].append({"code": code, "version": installed,
                                  "productCode": product_code_id(code)})

    installed = [(code, version) for code, _, version, *_ in PRODUCTS]
    write(tree["request"], request_text(appdata, common, installed))
    write(tree["stateFile"], state_text(installed, STORE))
    write(tree["programSettings"], program_settings_text())
    write(tree["registry"], registry_text())
    write(os.path.join(bin_dir, "msiexec.exe"), msiexec_script(), executable=True)

    env = {
        "TESSRA_APPDATA": appdata,
        "TESSRA_COMMON_APPDATA": common,
        "TESSRA_REGISTRY": tree["registry"],
        # No "runas" (pkexec) for the demo's installers.
        "TESSRA_ELEVATION": "0",
        # Only texts signed with the demo key are trusted.
        "TESSRA_SWM_UPDATE_KEY": publisher.public,
    }
    tree["env"] = env
    tree["path"] = bin_dir
    lines = ["# Source this to point the Software Manager and Tessra.exe at the demo home."]
    lines += [f"export {key}={shlex.quote(value)}" for key, value in env.items()]
    lines.append(f'export PATH={shlex.quote(bin_dir)}:"$PATH"')
    write(os.path.join(dest, "demo.env"), "\n".join(lines) + "\n")
    write(os.path.join(dest, "demo-tree.json"), json.dumps(tree, indent=2) + "\n")
    return tree


def main(argv):
    parser = argparse.ArgumentParser(description="Lays out a demo home and update server tree.")
    parser.add_argument("dest", help="folder to lay the demo out in (created when missing)")
    parser.add_argument("--publish", help="the tessra-publish program (default: the build's, "
                        "else PATH)")
    args = parser.parse_args(argv)
    tree = build(args.dest, args.publish)
    print(f"demo home:   {tree['home']}")
    print(f"server tree: {tree['server']} ({len(tree['manifests'])} manifests, "
          f"{len(tree['installers'])} installers)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
