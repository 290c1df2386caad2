#!/usr/bin/env python3
"""Whole runs through real proxies that ask for a password, on 127.0.0.1.

squid with Basic (basic_ncsa_auth) and with Digest (digest_file_auth), and
tinyproxy with Basic (BasicAuth), each with the credentials in the proxy's
address (registry stand-in, desktop settings, proxy script), saved in a real
Secret Service (gnome-keyring on a private session bus), wrong, or missing.
The runs are unattended: a proxy that refuses ends the transfer with a
"proxy-auth" event and no screen asking for a password. The password must
appear nowhere: not in the transcript, the support log, the program's files,
nor the command line or environment of the installer it starts. A case whose
programs are not installed is skipped (exit status 77) and says why.
"""

import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "support"))
import e2e  # noqa: E402
import e2e_proxies  # noqa: E402
import secret_service  # noqa: E402
from e2e import check, equal, manifest, of, records  # noqa: E402
from e2e_proxies import INTERNET, ProxyMachine, Skip, Squid, Tinyproxy  # noqa: E402

MINE = {}
USER = "taxpayer"
PASSWORD = "Qx7-unguessable-pw"  # distinctive: any copy of it is found
WRONG = "Zk4-wrong-pw"
SQUID_HELPERS = "/usr/lib/squid"


def case(fn):
    MINE[fn.__name__] = fn
    return e2e.case(fn)


def hashed(password):
    """An entry basic_ncsa_auth reads: crypt() where Python has it, else openssl's."""
    try:
        import warnings
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            import crypt
        return crypt.crypt(password, crypt.mksalt(crypt.METHOD_SHA512))
    except ImportError:
        return subprocess.run(["openssl", "passwd", "-apr1", "-stdin"], input=password,
                              capture_output=True, text=True, check=True).stdout.strip()


class AuthSquid(Squid):
    """squid asking for Basic or Digest; `free` is a path pattern it serves without one."""

    def __init__(self, scheme, free=None):
        super().__init__()
        self.scheme = scheme
        self.free = free
        self.helper = os.path.join(SQUID_HELPERS, "%s_%s_auth" % (
            scheme, "ncsa" if scheme == "basic" else "file"))
        if not os.access(self.helper, os.X_OK):
            self.stop()
            raise Skip("%s is missing (Debian's squid package has it)" % self.helper)

    def command(self):
        os.chmod(self.folder, 0o777)  # started as root, squid works as its own user
        users = os.path.join(self.folder, "users")
        with open(users, "w") as f:
            f.write("%s:%s\n" % (USER, hashed(PASSWORD) if self.scheme == "basic" else PASSWORD))
        os.chmod(users, 0o644)
        folder = self.folder
        lines = [
            "http_port 127.0.0.1:%d" % self.port,
            "auth_param %s program %s %s" % (self.scheme, self.helper, users),
            "auth_param %s realm tessra-test" % self.scheme,
            "auth_param %s children 2" % self.scheme,
            "acl login proxy_auth REQUIRED",
        ]
        if self.free:
            lines += ["acl free urlpath_regex %s" % self.free, "http_access allow localhost free"]
        lines += [
            "http_access allow localhost login",
            "http_access deny all",
            "cache deny all",
            "logformat auth %>Hs %rm %ru %un",
            "access_log stdio:%s/access.log auth" % folder,
            "cache_log %s/cache.log" % folder,
            "cache_store_log none",
            "pid_filename %s/squid.pid" % folder,
            "coredump_dir %s" % folder,
            "pinger_enable off",
            "shutdown_lifetime 0 seconds",
        ]
        conf = os.path.join(folder, "squid.conf")
        with open(conf, "w") as f:
            f.write("\n".join(lines) + "\n")
        return [self.exe, "-N", "-f", conf]

    def requests(self):
        """(status, path, user) of every request squid answered."""
        out = []
        for line in self.lines("access.log"):
            found = re.match(r"(\d+) \S+ \S+?://[^/]+(\S*) (\S+)$", line)
            if found:
                out.append((int(found.group(1)), found.group(2), found.group(3)))
        return out


class AuthTinyproxy(Tinyproxy):
    def command(self):
        argv = super().command()
        with open(os.path.join(self.folder, "tinyproxy.conf"), "a") as f:
            f.write("BasicAuth %s %s\n" % (USER, PASSWORD))
        return argv


PROXIES = {
    "squid_basic": (lambda **kw: AuthSquid("basic", **kw), ["Basic"]),
    "squid_digest": (lambda **kw: AuthSquid("digest", **kw), ["Digest"]),
    "tinyproxy_basic": (lambda **kw: AuthTinyproxy(), ["Basic"]),
}


class AuthMachine(ProxyMachine):
    """A purchase of California through the proxy: its manifest on the UI
    thread, its installer on the progress screen's worker."""

    def __init__(self, build, name):
        super().__init__(build, name)
        self.server = None
        self.address = None

    def serve_purchase(self):
        server = self.start_server()
        size = self.serve("states/TessraCA.exe", self.installer())
        self.serve("states/ver.txt", manifest("CA", 200, size, "California"))
        self.address = "http://%s/states/TessraCA.exe" % server
        return server

    def settings(self, ts07, internet=None, env=None):
        self.write(self.ts07, ts07)
        self.write(self.registry, "SOFTWARE\\ZVN\\2007\\Edition=premium\n" + "".join(
            "%s%s=%s\n" % (INTERNET, name, value) for name, value in (internet or {}).items()))
        self.extra_env = dict(env or {})

    def forget_download(self):
        """The next purchase fetches everything again."""
        for name in ("TessraCA.exe", "ver.txt"):
            path = os.path.join(self.downloads, name)
            if os.path.exists(path):
                os.remove(path)

    def purchase(self, steps):
        """Runs the purchase; returns (events, stderr)."""
        self.forget_download()
        proc, transcript = self.launch([self.address, "/purchase"], steps, elevation=False)
        try:
            _, err = proc.communicate(timeout=60)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.communicate()
            raise e2e.Failure("tessra-swm did not end: %r" % e2e.read_lines(transcript))
        events = e2e.read_lines(transcript)
        check(not of(events, "autopilot-error"), "autopilot error: %r; %s" % (events, err))
        equal(proc.returncode, 0, "exit status (%s)" % err)
        return events, err

    def support_log(self):
        folder = os.path.join(self.root, "home", ".local", "state", "tessra-swm")
        text = ""
        for name in ("swm.log.1", "swm.log"):
            try:
                with open(os.path.join(folder, name), encoding="latin-1") as f:
                    text += f.read()
            except FileNotFoundError:
                pass
        return text


PURCHASED = ["start", "screen DLMgrDlg", "result DLMgrDlg 1", "launch TessraCA.exe",
             "launch Tessra.exe", "end"]
CANNOT_CONNECT = ["start", "proxy-auth", "screen NoNetworkDlg", "screen ResumeCancelDlg",
                  "result ResumeCancelDlg 2", "result NoNetworkDlg 2", "end"]


def flow(events):
    # "notify": a tax program of another test ran on the machine when the purchase began.
    return [e for e in e2e.flow(events) if e != "notify"]


def check_nowhere(m, secret, user_env=None):
    """The password is in no file the program wrote or the test read from it,
    and in no command line or environment variable of a program it started
    (but the user's own variables: `user_env` maps a record's index to their
    names)."""
    skip = {m.registry, m.records}
    for folder, _, files in os.walk(m.root):
        if "keyring" in folder or folder.startswith(m.www):
            continue  # the Secret Service's own store; the server's proxy script
        for name in files:
            path = os.path.join(folder, name)
            if path in skip or os.path.islink(path):
                continue
            with open(path, "rb") as f:
                check(secret.encode() not in f.read(), "the password is in " + path)
    for index, run in enumerate(records(m)):
        if run.get("event") != "start":
            continue
        allowed = set((user_env or {}).get(index, ()))
        check(not any(secret in part for part in run["cmdline"]),
              "the password is on %s's command line" % run["who"])
        holding = {v.split("=", 1)[0] for v in run["environ"] if secret in v}
        check(holding <= allowed, "the password is in %s's environment: %s"
              % (run["who"], sorted(holding)))


def check_refusal(events, err, log, proxy, schemes, refused):
    reports = of(events, "proxy-auth")
    equal([(e["proxy"], e["schemes"], e["refused"], e["asked"]) for e in reports],
          [(proxy, schemes, refused, False)], "proxy-auth events")
    said = "the proxy %s asks for a password" % proxy
    check(said in err, "stderr says why: %r" % err)
    check(said in log and '"proxy-auth"' in log, "the support log says why")
    check(not [e for e in events if e.get("screen") == "ProxyAuthDlg"], "no screen asked")


def proxy_password(build, kind):
    make, schemes = PROXIES[kind]
    m = AuthMachine(build, "proxy-auth-" + kind)
    proxy = keyring = None
    try:
        server = m.serve_purchase()
        proxy = make().start()
        host, port = proxy.address().split(":")
        at = "%s:%s@%s" % (USER, PASSWORD, proxy.address())
        tessra = ("string:ui_prop_proxy_which=tessra\nstring:ui_prop_proxy_http_server=%s\n"
                  "string:ui_prop_proxy_http_port=%s\n" % (host, port))
        system = "string:ui_prop_proxy_which=system\n"
        m.serve("proxy.pac", "function FindProxyForURL(url, host) {\n"
                "  return \"PROXY %s; DIRECT\";\n}\n" % at)
        try:
            keyring = secret_service.SecretService(m.root)
        except secret_service.Missing as missing:
            raise Skip(str(missing))

        runs = [
            # what, ts07.cfg, registry stand-in, environment, saved, user's variables
            ("address in the registry stand-in", system,
             {"ProxyEnable": "1", "ProxyServer": "http=%s;https=127.0.0.1:9" % at}, {}, None, ()),
            ("address from the desktop", system, {},
             {"http_proxy": "http://%s/" % at, "no_proxy": ""}, None, ("http_proxy",)),
            ("address from the proxy script", "string:ui_prop_proxy_which=pac\n",
             {"AutoConfigURL": "http://%s/proxy.pac" % server}, {}, None, ()),
            ("saved in the Secret Service", tessra, {}, keyring.env, PASSWORD, ()),
        ]
        user_vars = {}
        for what, ts07, internet, env, saved, user_env in runs:
            keyring.clear({"proxy": proxy.address()})
            if saved:
                keyring.store({"proxy": proxy.address(), "user": USER}, saved)
            m.settings(ts07, internet, env)
            since = len(records(m))
            events, err = m.purchase(["DLMgrDlg wait"])
            equal(flow(events), PURCHASED, what + ": course of the run")
            equal([r["who"] for r in records(m)[since:] if r["event"] == "start"],
                  ["TessraCA.exe"], what + ": the installer ran")
            # The desktop's own variable is the user's, passed on as it came.
            user_vars.update({i: user_env for i in range(since, len(records(m)))})
            check_nowhere(m, PASSWORD, user_vars)
            print("%s: purchased through %s" % (what, kind))

        # No credentials anywhere (an empty Secret Service), then wrong ones
        # in the address and in the store: the manifest fails, nobody is asked.
        refusals = [
            ("no credentials", tessra, {}, keyring.env, None, "none"),
            ("wrong password in the address", system,
             {"ProxyEnable": "1", "ProxyServer": "%s:%s@%s" % (USER, WRONG, proxy.address())},
             {}, None, "address"),
            ("wrong password saved", tessra, {}, keyring.env, WRONG, "saved"),
        ]
        for what, ts07, internet, env, saved, refused in refusals:
            keyring.clear({"proxy": proxy.address()})
            if saved:
                keyring.store({"proxy": proxy.address(), "user": USER}, saved)
            m.settings(ts07, internet, env)
            events, err = m.purchase(["NoNetworkDlg 2", "ResumeCancelDlg 2"])
            equal(flow(events), CANNOT_CONNECT, what + ": course of the run")
            check_refusal(events, err, m.support_log(), proxy.address(), schemes, refused)
            check_nowhere(m, WRONG)
            check(err.count("asks for a password") == 1, what + ": said once on stderr")
            print("%s: refused by %s, %r" % (what, kind, of(events, "proxy-auth")[0]["reason"]))
        if isinstance(proxy, AuthSquid):
            users = {user for _, path, user in proxy.requests() if path.startswith("/states/")}
            equal(users, {"-", USER}, "squid saw the user logged in, and requests without one")
    finally:
        for part in (keyring, proxy):
            if part:
                part.stop()
        m.cleanup()


@case
def proxy_password_squid_basic(build):
    """squid with Basic: the password from each source, and each way it is refused."""
    proxy_password(build, "squid_basic")


@case
def proxy_password_squid_digest(build):
    """squid with Digest: the password from each source, and each way it is refused."""
    proxy_password(build, "squid_digest")


@case
def proxy_password_tinyproxy_basic(build):
    """tinyproxy with Basic: the password from each source, and each way it is refused."""
    proxy_password(build, "tinyproxy_basic")


@case
def proxy_password_for_the_installer_unattended(build):
    """The manifest passes, the installer's proxy asks: on the worker thread,
    unattended, the download fails with its problem and a proxy-auth event."""
    m = AuthMachine(build, "proxy-auth-installer")
    proxy = None
    try:
        m.serve_purchase()
        proxy = AuthSquid("basic", free=r"/ver\.txt$").start()
        host, port = proxy.address().split(":")
        m.settings("string:ui_prop_proxy_which=tessra\nstring:ui_prop_proxy_http_server=%s\n"
                   "string:ui_prop_proxy_http_port=%s\n" % (host, port))
        events, err = m.purchase(["DLMgrDlg wait"])
        equal(flow(events), ["start", "screen DLMgrDlg", "proxy-auth",
                             "message Problem Detected", "result DLMgrDlg 2", "end"],
              "course of the run")
        check("(22)" in of(events, "message")[0]["text"], "problem 22, as without a password")
        check_refusal(events, err, m.support_log(), proxy.address(), ["Basic"], "none")
        equal([r for r in records(m) if r["who"] == "TessraCA.exe"], [], "nothing installed")
        equal([(status, path) for status, path, _ in proxy.requests()],
              [(200, "/states/ver.txt"), (407, "/states/TessraCA.exe")], "squid's answers")
    finally:
        if proxy:
            proxy.stop()
        m.cleanup()


if __name__ == "__main__":
    try:
        sys.exit(e2e.main(MINE))
    except Skip as skip:
        print("SKIPPED: %s" % skip)
        sys.exit(e2e_proxies.SKIPPED)
