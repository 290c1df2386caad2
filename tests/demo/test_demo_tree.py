#!/usr/bin/env python3
"""The demo tree holds what the Software Manager asks for.

Lays a demo out with tools/demo/make_demo_tree.py in a temporary folder and
asks tessra-swm-inspect, the program's own rules, which addresses the request
files give; every address must be in the server tree with a manifest whose
first line passes the program's check, and every installer the manifests
offer must lie under its expected name with the manifest's size. The
installers and the msiexec stand-in are run as real processes, and Tessra.exe
must write the same request as the generator.

Every text on the server must carry a valid signature under the demo key
the demo's environment names, and every installer manifest the installer's
SHA-256.

    test_demo_tree.py --inspect PROGRAM --tessra PROGRAM --publish PROGRAM
"""

import argparse
import hashlib
import json
import os
import subprocess
import sys
import tempfile
import unittest
from urllib.parse import urlsplit

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools", "demo"))
import make_demo_tree  # noqa: E402

INSPECT = None
TESSRA = None
PUBLISH = None
HOST = "127.0.0.1:8080"

# Installer names on the server for the edition "premium" (letter p): the
# federal product and the help files carry the letter, the installer update
# is instupd.exe, a state is upd.exe.
INSTALLER_NAMES = {"US": "pupd.exe", "HLP": "phlpupd.exe", "INST": "instupd.exe"}


def installer_name(code):
    return INSTALLER_NAMES.get(code, "upd.exe")


class DemoTreeTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="demo-tree-")
        self.dest = os.path.join(self.tmp.name, "demo")
        self.tree = make_demo_tree.build(self.dest, PUBLISH)
        self.env = dict(os.environ)
        self.env.update(self.tree["env"])
        self.env["PATH"] = self.tree["path"] + os.pathsep + self.env.get("PATH", "")
        self.server = self.tree["server"]
        self.user_dir = os.path.join(self.tree["appdata"], "Tessra", "2007")
        self.common_dir = os.path.join(self.tree["common"], "Tessra", "2007")

    def tearDown(self):
        self.tmp.cleanup()

    # -- helpers ----------------------------------------------------------

    def inspect(self, *args):
        out = subprocess.run([INSPECT, *args], env=self.env, capture_output=True, text=True,
                             timeout=30)
        self.assertEqual(out.returncode, 0, out.stderr)
        return json.loads(out.stdout)

    def settings(self, path, command_line):
        return self.inspect("settings", path, "--command-line", command_line)

    def server_file(self, url):
        parts = urlsplit(url)
        self.assertEqual(parts.netloc, HOST, url)
        return os.path.join(self.server, parts.path.lstrip("/"))

    def check_manifest(self, url, settings_path):
        """The manifest at `url` exists, passes the text check and reads."""
        path = self.server_file(url)
        self.assertTrue(os.path.isfile(path), f"no manifest for {url}")
        with open(path, "rb") as f:
            first = f.readline().decode()
        self.assertIn("roduct", first, f"{url}: first line {first!r}")
        entry = self.inspect("manifest", path, "--settings", settings_path)
        self.assertIsNotNone(entry["product"], f"{url}: product unknown to the catalogue")
        self.assertEqual(entry["year"], 2007)
        self.assertEqual(entry["signature"], "valid", url)
        return entry

    def run_program(self, path, *args):
        out = subprocess.run([path, *args], env=self.env, capture_output=True, text=True,
                             timeout=30)
        self.assertEqual(out.returncode, 0, f"{path} {args}: {out.stderr}")

    def state(self):
        state = {}
        with open(self.tree["stateFile"]) as f:
            for line in f:
                key, eq, value = line.strip().partition("=")
                if eq and key.isupper():
                    state[key] = int(value)
        return state

    def update_check(self, request):
        """Items of an update check on `request`, as the program builds them."""
        return self.settings(request, f"/opt/tessra/tessra-swm {request} /N {HOST}")

    # -- tests ------------------------------------------------------------

    def test_update_check_finds_every_manifest_and_installer(self):
        request = self.tree["request"]
        listing = self.update_check(request)
        self.assertEqual(listing["edition"], 4)
        installed = {p["code"]: p["installed"] for p in self.tree["products"]}
        self.assertEqual([(i["product"].upper(), i["installedVersion"]) for i in listing["items"]],
                         list(installed.items()))
        updates = 0
        for item in listing["items"]:
            code = item["product"].upper()
            self.assertTrue(item["localPath"].startswith(self.common_dir + "/Downloads/"))
            self.assertEqual(item["expectedSize"], 0, "manifests must always be fetched")
            entry = self.check_manifest(item["url"], request)
            self.assertEqual(entry["product"]["code"], code)
            if entry["offeredVersion"] <= item["installedVersion"]:
                continue
            updates += 1
            # The installer lies next to the manifest under the name the
            # program asks for, with exactly the manifest's size.
            installer = os.path.join(os.path.dirname(self.server_file(item["url"])),
                                     installer_name(code))
            self.assertTrue(os.path.isfile(installer), f"no installer {installer}")
            self.assertEqual(os.path.getsize(installer), entry["size"], installer)
            with open(installer, "rb") as f:
                self.assertEqual(hashlib.sha256(f.read()).hexdigest(), entry["sha256"], installer)
        self.assertGreater(updates, 0)
        self.assertLess(updates, len(listing["items"]), "some product should be up to date")

    def test_installed_updates_leave_everything_current(self):
        request = self.tree["request"]
        for item in self.update_check(request)["items"]:
            code = item["product"].upper()
            entry = self.inspect("manifest", self.server_file(item["url"]), "--settings", request)
            if entry["offeredVersion"] > item["installedVersion"]:
                installer = os.path.join(os.path.dirname(self.server_file(item["url"])),
                                         installer_name(code))
                self.run_program(installer, "/v/passive")
                self.assertEqual(self.state()[code], entry["offeredVersion"])
        # Tessra writes its next request from the new versions; every
        # manifest is there and offers nothing newer.
        os.remove(request)
        self.run_program(TESSRA, "--write-request")
        listing = self.update_check(request)
        self.assertEqual(len(listing["items"]), len(self.tree["products"]))
        for item in listing["items"]:
            entry = self.check_manifest(item["url"], request)
            self.assertEqual(entry["offeredVersion"], item["installedVersion"], item["url"])

    def test_tessra_writes_the_generators_request(self):
        expected = self.update_check(self.tree["request"])
        os.remove(self.tree["request"])
        self.run_program(TESSRA, "--write-request")
        self.assertEqual(self.update_check(self.tree["request"]), expected)

    def test_alert_address(self):
        # The alert mode's own settings file, line for line.
        alert_cfg = os.path.join(self.user_dir, "alert.cfg")
        with open(alert_cfg, "w", newline="") as f:
            f.write("".join(line + "\r\n" for line in [
                "prom=ALRT", "camp=411411", "edition=premium", "year=2007", "product=alert",
                "ver=alert.txt", f"output={self.user_dir}/alert.txt", "file-bytes=0",
                "installed-ver=1000"]))
        request = self.tree["request"]
        listing = self.settings(alert_cfg, f"/opt/tessra/tessra-swm /alert {request} /N {HOST}")
        self.assertEqual(len(listing["items"]), 1)
        entry = self.check_manifest(listing["items"][0]["url"], alert_cfg)
        self.assertEqual(entry["product"]["code"], "ALERT")
        self.assertNotEqual(entry["offeredVersion"], 1000, "version 1000 means no alert")

    def test_purchase_addresses(self):
        purchase_cfg = os.path.join(self.common_dir, "purchase.cfg")
        for offer in self.tree["store"]:
            address = f"http://{HOST}{offer['path']}"
            with open(purchase_cfg, "w", newline="") as f:
                f.write("".join(line + "\r\n" for line in [
                    "prom=STTE", "camp=888888", "edition=premium", "year=2007",
                    f"product={offer['code'].lower()}", "ver=ver.txt",
                    f"output={self.common_dir}/Downloads/ver.txt", "file-bytes=0",
                    "installed-ver=0100"]))
            listing = self.settings(purchase_cfg, f"/opt/tessra/tessra-swm {address} /purchase")
            self.assertEqual(len(listing["items"]), 1)
            entry = self.check_manifest(listing["items"][0]["url"], purchase_cfg)
            self.assertEqual(entry["product"]["code"], offer["code"])
            self.assertGreater(entry["offeredVersion"], 100, "a purchase offers more than 0100")
            installer = self.server_file(address)
            self.assertEqual(os.path.getsize(installer), entry["size"], installer)
            # Installed, the state has its product-code file for a later
            # reinstall, and the next update check finds its manifest.
            self.run_program(installer, ' /v"RUN=/G"')
            self.assertEqual(self.state()[offer["code"]], entry["offeredVersion"])
            self.assertTrue(os.path.isfile(os.path.join(self.common_dir, offer["code"] + ".txt")))
        self.run_program(TESSRA, "--write-request")
        for item in self.update_check(self.tree["request"])["items"]:
            self.check_manifest(item["url"], self.tree["request"])

    def test_reinstall_uninstalls_and_installs_again(self):
        state = self.state()
        for state_entry in self.tree["reinstall"]:
            code = state_entry["code"]
            with open(os.path.join(self.common_dir, code + ".txt")) as f:
                package = f.read().rstrip("\n")
            self.assertEqual(package, state_entry["productCode"])
            # What the program runs: msiexec.exe from PATH with /x<id> /passive.
            self.run_program("msiexec.exe", "/x" + package, "/passive")
            self.assertNotIn(code, self.state())
            self.run_program(os.path.join(self.common_dir, "Downloads", f"Tessra{code}.exe"),
                             '/v"RUN=/G"')
            self.assertEqual(self.state()[code], state[code])
        # An unknown package is refused and changes nothing.
        out = subprocess.run(["msiexec.exe", "/x{00000000-0000-0000-0000-000000000000}",
                              "/passive"], env=self.env, capture_output=True, timeout=30)
        self.assertNotEqual(out.returncode, 0)
        self.assertEqual(self.state(), state)

    def test_laying_out_again_starts_afresh(self):
        self.run_program(os.path.join(self.common_dir, "Downloads", "TessraCA.exe"))
        os.makedirs(os.path.join(self.dest, "screens"))
        again = make_demo_tree.build(self.dest, PUBLISH)
        self.assertEqual(again["manifests"], self.tree["manifests"])
        self.assertFalse(os.path.exists(self.tree["installLog"]))
        self.assertTrue(os.path.isdir(os.path.join(self.dest, "screens")), "other folders stay")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--inspect", required=True)
    parser.add_argument("--tessra", required=True)
    parser.add_argument("--publish", required=True)
    args, rest = parser.parse_known_args()
    INSPECT, TESSRA = os.path.abspath(args.inspect), os.path.abspath(args.tessra)
    PUBLISH = os.path.abspath(args.publish)
    unittest.main(argv=[sys.argv[0], *rest])
