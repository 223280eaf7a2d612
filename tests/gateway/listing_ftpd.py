#!/usr/bin/python3
"""tests/realserver/pyftpd_server.py with listings of our own: a folder that
holds a file named ".listing" is listed (LIST) as that file's bytes, so a
test can serve lines that no real file system produces (sizes of twenty
digits, unknown formats). Same options as pyftpd_server.py."""
import os
import sys

from pyftpdlib.filesystems import AbstractedFS
from pyftpdlib.handlers import FTPHandler

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
    pyftpd_server.main()
