#!/usr/bin/python3
"""tests/realserver/pyftpd_server.py with listings of our own: a folder that
holds a file named ".listing" is listed (LIST) as that file's bytes, so a
test can serve lines that no real file system produces (sizes of twenty
digits, unknown formats). Same options as pyftpd_server.py; the environment's
FTP_MAX_CONS_PER_IP, when set, is the sessions it takes from one address
(more are answered "421 Too many connections from the same IP address.", as
vsftpd's max_per_ip, proftpd's MaxClientsPerHost and pure-ftpd's -C do)."""
import os
import sys

from pyftpdlib.filesystems import AbstractedFS
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "realserver"))
import pyftpd_server  # noqa: E402


class ScriptedListings(AbstractedFS):
    def format_list(self, basedir, listing, ignore_err=True):
        scripted = os.path.join(basedir, ".listing")
        if os.path.isfile(scripted):
            with open(scripted, "rb") as f:
                return iter([f.read()])
        return super().format_list(basedir, listing, ignore_err)


if __name__ == "__main__":
    FTPHandler.abstracted_fs = ScriptedListings
    FTPServer.max_cons_per_ip = int(os.environ.get("FTP_MAX_CONS_PER_IP", "0"))
    pyftpd_server.main()
