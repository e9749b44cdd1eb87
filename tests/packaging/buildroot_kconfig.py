"""The Buildroot external tree's Config.in, read by a real Kconfig parser under a stand-in for
Buildroot's own top level that declares the toolchain symbols it depends on: the package is
offered only with a suitable toolchain, says why otherwise (except without an MMU, which no
toolchain choice gives), and its two install options appear under it, off by default, the tools
only with the stand-in.

Usage: buildroot_kconfig.py EXTERNAL_TREE WORK_DIR
"""
import os
import sys

import kconfiglib

TOOLCHAIN = ("BR2_INSTALL_LIBSTDCPP", "BR2_TOOLCHAIN_GCC_AT_LEAST_11",
             "BR2_TOOLCHAIN_HAS_THREADS", "BR2_STATIC_LIBS", "BR2_USE_MMU")
SUITABLE = {"BR2_INSTALL_LIBSTDCPP": "y", "BR2_TOOLCHAIN_GCC_AT_LEAST_11": "y",
            "BR2_TOOLCHAIN_HAS_THREADS": "y", "BR2_STATIC_LIBS": "n", "BR2_USE_MMU": "y"}


def load(external, work):
    os.makedirs(work, exist_ok=True)
    top = os.path.join(work, "Config.in")
    with open(top, "w") as out:
        for name in TOOLCHAIN:
            out.write(f'config {name}\n\tbool "{name}"\n')
        out.write('source "$BR2_EXTERNAL_VELMKORTD_PATH/Config.in"\n')
    os.environ["BR2_EXTERNAL_VELMKORTD_PATH"] = external
    return kconfiglib.Kconfig(top, warn_to_stderr=False)


def offered(kconf, toolchain):
    for name, value in toolchain.items():
        kconf.syms[name].set_value(value)
    package = kconf.syms["BR2_PACKAGE_VELMKORTD"]
    comments = [node.prompt[0] for node in kconf.node_iter() if node.item == kconfiglib.COMMENT
                and kconfiglib.expr_value(node.dep) and "velmkortd" in node.prompt[0]]
    return package.visibility == 2, comments


def main(external, work):
    kconf = load(external, work)
    if kconf.warnings:
        sys.exit(f"FAIL: Kconfig warnings: {kconf.warnings}")

    for name, good in SUITABLE.items():
        unsuitable = "n" if good == "y" else "y"
        visible, comments = offered(kconf, {**SUITABLE, name: unsuitable})
        if visible or (not comments) != (name == "BR2_USE_MMU"):
            sys.exit(f"FAIL: with {name}={unsuitable}: offered {visible}, comments {comments}")

    visible, comments = offered(kconf, SUITABLE)
    if not visible or comments:
        sys.exit(f"FAIL: suitable toolchain: offered {visible}, comments {comments}")
    options = ("BR2_PACKAGE_VELMKORTD_STANDIN", "BR2_PACKAGE_VELMKORTD_TOOLS")
    if any(kconf.syms[name].visibility for name in options):
        sys.exit("FAIL: install options shown without the package")
    kconf.syms["BR2_PACKAGE_VELMKORTD"].set_value("y")
    if kconf.syms[options[1]].visibility:
        sys.exit("FAIL: the tools offered without the stand-in")
    for name in options:
        symbol = kconf.syms[name]
        if symbol.visibility != 2 or symbol.str_value != "n":
            sys.exit(f"FAIL: {name}: visibility {symbol.visibility}, value {symbol.str_value}")
        symbol.set_value("y")
    print("Config.in: offered with a suitable toolchain only; install options off by default")


if __name__ == "__main__":
    main(*sys.argv[1:])
