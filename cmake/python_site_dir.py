"""Prints where, below an install prefix, a Python package belongs, relative
to that prefix: the site folder of the interpreter that runs this script
which lies in that prefix, so that the interpreter imports the package with
no further setting. Run at install time, with the prefix of the install.

  /usr on Debian        lib/python3/dist-packages
  /usr/local on Debian  lib/python3.X/dist-packages
  a virtual environment lib/python3.X/site-packages
  any other prefix      the standard layout, lib/python3.X/site-packages
                        (PYTHONPATH=<prefix>/lib/python3.X/site-packages)

usage: python3 python_site_dir.py PREFIX
"""
import os
import site
import sys
import sysconfig


def site_dir(prefix):
    prefix = os.path.realpath(prefix)
    # Debian's site folders for /usr also include /usr/local's, which is
    # another prefix: a folder counts when it lies in the prefix's lib.
    for folder in site.getsitepackages() if hasattr(site, "getsitepackages") else []:
        relative = os.path.relpath(os.path.realpath(folder), prefix)
        if relative.split(os.sep)[0].lower() in ("lib", "lib64"):
            return relative
    scheme = "nt" if os.name == "nt" else "posix_prefix"
    folder = sysconfig.get_path("platlib", scheme, vars={"base": prefix, "platbase": prefix})
    return os.path.relpath(folder, prefix)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    print(site_dir(sys.argv[1]).replace(os.sep, "/"))
