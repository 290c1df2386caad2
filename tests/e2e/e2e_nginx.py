#!/usr/bin/env python3
"""Whole runs of tessra-swm against nginx, the static server a publisher runs.

The cases of e2e.py that fetch from the update server run here unchanged on a
machine whose server is nginx (started by tests/support/nginx_server.py as the
current user, on a free port of 127.0.0.1, with its access log in the request
log's format). Exit status 77 (skipped) with the reason when nginx is missing.
"""

import contextlib
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "support"))
import e2e  # noqa: E402
import nginx_server  # noqa: E402
from e2e import Machine, check  # noqa: E402

MINE = {}


def case(fn):
    MINE[fn.__name__] = fn
    return e2e.case(fn)


class NginxMachine(Machine):
    """A machine whose update server is nginx."""

    def start_server(self):
        self.server = nginx_server.NginxServer(self.www, os.path.join(self.root, "nginx"),
                                               log=self.server_log)
        os.makedirs(self.server.folder, exist_ok=True)
        try:
            self.server.start()
        except nginx_server.NginxError as e:
            check(False, str(e))
        self.port = self.server.port
        return self.server.address


@contextlib.contextmanager
def served_by_nginx():
    """The cases of e2e.py build NginxMachines meanwhile."""
    e2e.Machine = NginxMachine
    try:
        yield
    finally:
        e2e.Machine = Machine


@case
def nginx_update_close_now(build):
    """The whole update, close-now way: manifests, installers, install, restart, from nginx."""
    with served_by_nginx():
        e2e.update_close_now(build)


@case
def nginx_purchase_mode(build):
    """A state purchase from nginx; the second run finds the complete file and fetches none."""
    with served_by_nginx():
        e2e.purchase_mode(build)


def main(cases=None):
    """Runs the cases (these by default); skipped where nginx is missing."""
    if "--list" not in sys.argv and not nginx_server.find_nginx():
        print("SKIPPED: nginx is not installed (make deps installs it)")
        return nginx_server.SKIP_STATUS
    return e2e.main(MINE if cases is None else cases)


if __name__ == "__main__":
    sys.exit(main())
