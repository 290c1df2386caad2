"""A real Secret Service for tests: a private D-Bus session bus (dbus-daemon)
with gnome-keyring-daemon's secrets component on it, its login keyring made
and unlocked in a folder of the test's own. secret-tool (libsecret-tools)
saves and reads items the way a user's desktop would.

    service = SecretService(folder)    # raises Missing when a program is not installed
    env.update(service.env)            # DBUS_SESSION_BUS_ADDRESS for the program
    service.store({"proxy": "127.0.0.1:3128", "user": "bob"}, "s3cret")
    service.items({"proxy": "127.0.0.1:3128"})  # [(attributes, secret)]
    service.stop()
"""

import os
import shutil
import subprocess
import time

WAIT = 20


class Missing(Exception):
    """A program the Secret Service needs is not installed."""


def _program(name):
    found = shutil.which(name, path=os.environ.get("PATH", "") + ":/usr/bin:/usr/sbin:/sbin")
    if not found:
        raise Missing("%s is not installed (make deps installs it)" % name)
    return found


class SecretService:
    def __init__(self, folder):
        self.dbus = _program("dbus-daemon")
        self.keyring = _program("gnome-keyring-daemon")
        self.tool = _program("secret-tool")
        self.send = _program("dbus-send")
        self.folder = folder
        self.home = os.path.join(folder, "keyring-home")
        runtime = os.path.join(folder, "keyring-run")
        os.makedirs(self.home, exist_ok=True)
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        base = {k: v for k, v in os.environ.items()
                if k not in ("DBUS_SESSION_BUS_ADDRESS", "DISPLAY", "WAYLAND_DISPLAY")}
        base.update({"HOME": self.home, "XDG_DATA_HOME": os.path.join(self.home, "data"),
                     "XDG_CONFIG_HOME": os.path.join(self.home, "config"),
                     "XDG_RUNTIME_DIR": runtime})
        self.processes = []
        try:
            bus = subprocess.Popen([self.dbus, "--session", "--nofork", "--nopidfile",
                                    "--print-address=1"], stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL, text=True, env=base)
            self.processes.append(bus)
            address = bus.stdout.readline().strip()
            if not address:
                raise RuntimeError("dbus-daemon named no address")
            self.env = {"DBUS_SESSION_BUS_ADDRESS": address}
            self.tool_env = dict(base, **self.env)
            keyring = subprocess.Popen([self.keyring, "--foreground", "--components=secrets",
                                        "--unlock"], stdin=subprocess.PIPE,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                       env=self.tool_env)
            self.processes.append(keyring)
            # The login keyring's own password, made with it and unlocking it.
            keyring.stdin.write(b"keyring-of-the-test")
            keyring.stdin.close()
            self._wait_for_service()
        except BaseException:
            self.stop()
            raise

    def _wait_for_service(self):
        deadline = time.monotonic() + WAIT
        while time.monotonic() < deadline:
            out = subprocess.run([self.send, "--session", "--print-reply",
                                  "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                                  "org.freedesktop.DBus.NameHasOwner",
                                  "string:org.freedesktop.secrets"],
                                 env=self.tool_env, capture_output=True, text=True).stdout
            if "boolean true" in out:
                return
            if any(p.poll() is not None for p in self.processes):
                raise RuntimeError("the Secret Service ended at start")
            time.sleep(0.05)
        raise RuntimeError("the Secret Service did not come up")

    def store(self, attributes, secret, label="saved by the test"):
        args = [self.tool, "store", "--label=" + label]
        for name, value in attributes.items():
            args += [name, value]
        subprocess.run(args, input=secret, text=True, env=self.tool_env, check=True,
                       timeout=WAIT)

    def clear(self, attributes):
        args = [self.tool, "clear"]
        for name, value in attributes.items():
            args += [name, value]
        subprocess.run(args, env=self.tool_env, timeout=WAIT)

    def items(self, attributes):
        """(attributes, secret) of every item that has these attributes."""
        args = [self.tool, "search", "--all", "--unlock"]
        for name, value in attributes.items():
            args += [name, value]
        result = subprocess.run(args, env=self.tool_env, capture_output=True, text=True,
                                timeout=WAIT)
        items = []
        # secret-tool prints the secret on stdout and the rest on stderr, item by item.
        secrets = [line[len("secret = "):] for line in result.stdout.splitlines()
                   if line.startswith("secret = ")]
        found = {}
        for line in (result.stderr + result.stdout).splitlines():
            if line.startswith("[/"):
                if found:
                    items.append(found)
                found = {}
            elif line.startswith("attribute."):
                name, _, value = line[len("attribute."):].partition(" = ")
                found[name] = value
        if found:
            items.append(found)
        return list(zip(items, secrets))

    def stop(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(5)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        self.processes = []
