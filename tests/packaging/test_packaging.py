"""What an integrator and a packager get from a build: the installed prefix,
the Debian packages and the Python wheel, each used from outside the tree
against notavero-sim on a pseudo-terminal.

NOTAVERO_BUILD_DIR names a configured and built tree (scripts/package --test
passes it); NOTAVERO_PYTHON names an interpreter with pip for the Python
package (default: this one).  The package also goes into a plain venv of
the system's python3 with no package index, as a kiosk without network
installs it.
"""

import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parents[1]
sys.path.insert(0, str(ROOT / "bindings" / "python"))
from tests import children  # noqa: E402  (the Python package's test helpers)

BUILD = pathlib.Path(os.environ.get("NOTAVERO_BUILD_DIR") or ROOT / "build").resolve()
PYTHON = os.environ.get("NOTAVERO_PYTHON") or sys.executable
VERSION = (BUILD / "generated" / "driver" / "notavero_version.h").read_text().split('NV_VERSION_STRING "')[1].split('"')[0]
MAJOR = VERSION.split(".")[0]
TIMEOUT = 600  # seconds for a build step on a loaded machine
PUBLIC_HEADERS = {"notavero.h", "notavero_host.h", "notavero_version.h"}


def run(args, **kwargs):
    """Runs a command; fails the test with its output when it fails."""
    result = subprocess.run([str(a) for a in args], capture_output=True, text=True, timeout=TIMEOUT, **kwargs)
    if result.returncode != 0:
        raise AssertionError(f"{' '.join(map(str, args))} exited {result.returncode}:\n{result.stdout}\n{result.stderr}")
    return result.stdout


def files_under(root):
    return {str(p.relative_to(root)) for p in pathlib.Path(root).rglob("*") if not p.is_dir()}


class PackagingTest(children.TestCase):
    def setUp(self):
        super().setUp()
        self.tmp = pathlib.Path(tempfile.mkdtemp(prefix="notavero-packaging-"))
        self.addCleanup(shutil.rmtree, self.tmp, ignore_errors=True)

    def simulator(self, sim, commands=()):
        """Starts sim --fast with `commands` on its stdin; returns the
        environment that maps port 7 to it."""
        proc = children.popen([sim, "--fast"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        pty = proc.stdout.readline().strip()
        self.assertTrue(pty.startswith("/dev/"), f"{sim} printed no pty path")
        for command in commands:
            proc.stdin.write(command + "\n")
        proc.stdin.flush()
        return dict(os.environ, NOTAVERO_COM7=pty, NOTAVERO_LOG=str(self.tmp / "Notavero.log"))

    def assert_consumer_runs(self, consumer, sim, library_dir, extra_env=None):
        """The consumer resolves libnotavero.so.MAJOR from library_dir and
        drives the simulator through it."""
        env = self.simulator(sim)
        env.update(extra_env or {})
        resolved = run(["ldd", consumer], env=env)
        self.assertIn(f"libnotavero.so.{MAJOR} => {pathlib.Path(library_dir).resolve()}/", resolved)
        output = run([consumer], env=env)
        self.assertIn(f"library {VERSION}, header {VERSION}", output)
        self.assertIn("PASSED", output)

    def build_consumer(self, name, *cmake_args):
        build = self.tmp / name
        run(["cmake", "-S", HERE, "-B", build, "-G", "Ninja", *cmake_args])
        run(["cmake", "--build", build])
        return build / "consumer"

    def test_installed_prefix_serves_find_package_and_pkg_config(self):
        prefix = self.tmp / "prefix"
        run(["cmake", "--install", BUILD, "--prefix", prefix])
        installed = files_under(prefix)
        headers = {f for f in installed if f.startswith("include/")}
        self.assertEqual(headers, {f"include/notavero/{d}{h}" for h in PUBLIC_HEADERS for d in ("", "driver/")})
        libdir = next(prefix.glob("lib*/**/libnotavero.so")).parent
        self.assertEqual(os.readlink(libdir / "libnotavero.so"), f"libnotavero.so.{MAJOR}")
        self.assertIn(f"libnotavero.so.{MAJOR}", run(["objdump", "-p", libdir / f"libnotavero.so.{VERSION}"]))
        for tool in ("notavero", "notavero-sim"):
            self.assertEqual(run([prefix / "bin" / tool, "--version"]), f"{tool} {VERSION}\n")

        consumer = self.build_consumer("find_package", f"-DCMAKE_PREFIX_PATH={prefix}")
        self.assert_consumer_runs(consumer, prefix / "bin" / "notavero-sim", libdir)

        pc_env = dict(os.environ, PKG_CONFIG_PATH=str(libdir / "pkgconfig"))
        self.assertEqual(run(["pkg-config", "--modversion", "notavero"], env=pc_env).strip(), VERSION)
        flags = run(["pkg-config", "--cflags", "--libs", "notavero"], env=pc_env).split()
        run(["cc", "-Wall", "-Wextra", "-Werror", "-o", self.tmp / "consumer-pc", HERE / "consumer.c", *flags])
        self.assert_consumer_runs(self.tmp / "consumer-pc", prefix / "bin" / "notavero-sim", libdir,
                                  {"LD_LIBRARY_PATH": str(libdir)})

        # The README's C example, built with what building-and-packages.md
        # says to set for a prefix: PKG_CONFIG_PATH and a run path, nothing else.
        env = {k: v for k, v in os.environ.items() if k not in ("LD_LIBRARY_PATH", "CPATH", "LIBRARY_PATH")}
        env["PKG_CONFIG_PATH"] = str(libdir / "pkgconfig")
        flags = run(["pkg-config", "--cflags", "--libs", "notavero"], env=env).split()
        kiosk = self.tmp / "kiosk"
        run(["cc", "-Wall", "-Wextra", "-Werror", "-o", kiosk, ROOT / "examples" / "c" / "kiosk.c", *flags,
             f"-Wl,-rpath,{libdir}"], env=env)
        sim_env = self.simulator(prefix / "bin" / "notavero-sim", ["wait-state 14 60000", "insert 4"])
        sim_env.pop("LD_LIBRARY_PATH", None)
        self.assertIn(f"libnotavero.so.{MAJOR} => {libdir.resolve()}/", run(["ldd", kiosk], env=sim_env))
        output = run([kiosk, sim_env["NOTAVERO_COM7"], "100"], env=sim_env)
        self.assertIn("paid 100 of 100", output)
        self.assertIn("thank you; change due 0", output)

    def test_add_subdirectory_builds_only_the_library(self):
        # The consumer's CMakeLists.txt fails when the tools or tests come along.
        consumer = self.build_consumer("add_subdirectory", f"-DNOTAVERO_SOURCE_DIR={ROOT}")
        self.assert_consumer_runs(consumer, BUILD / "notavero-sim", self.tmp / "add_subdirectory" / "notavero")

    def test_debian_packages(self):
        out = self.tmp / "debs"
        run(["cpack", "-G", "DEB", "--config", BUILD / "CPackConfig.cmake", "-B", out])
        debs = {run(["dpkg-deb", "-f", deb, "Package"]).strip(): deb for deb in out.glob("*.deb")}
        runtime, dev, tools, python = f"libnotavero{MAJOR}", "libnotavero-dev", "notavero-tools", "python3-notavero"
        self.assertLessEqual({runtime, dev, tools, python}, set(debs))
        root = self.tmp / "root"
        contents = {}
        for name, deb in debs.items():
            self.assertEqual(run(["dpkg-deb", "-f", deb, "Version"]).strip(), VERSION)
            unpacked = self.tmp / "unpacked" / name
            unpacked.mkdir(parents=True)
            run(["dpkg-deb", "-x", deb, unpacked])
            run(["dpkg-deb", "-x", deb, root])
            contents[name] = files_under(unpacked)
        libdir = next((root / "usr/lib").glob(f"**/libnotavero.so.{MAJOR}")).parent
        arch_lib = str(libdir.relative_to(root))
        self.assertEqual(contents[runtime], {f"{arch_lib}/libnotavero.so.{MAJOR}", f"{arch_lib}/libnotavero.so.{VERSION}"})
        self.assertEqual(contents[dev], {
            *(f"usr/include/notavero/{d}{h}" for h in PUBLIC_HEADERS for d in ("", "driver/")),
            f"{arch_lib}/libnotavero.so", f"{arch_lib}/pkgconfig/notavero.pc",
            *(f"{arch_lib}/cmake/notavero/{f}" for f in ("notaveroConfig.cmake", "notaveroConfigVersion.cmake",
                                                       "notaveroTargets.cmake")),
        } | {f for f in contents[dev] if f.startswith(f"{arch_lib}/cmake/notavero/notaveroTargets-")})
        self.assertEqual(contents[tools], {"usr/bin/notavero", "usr/bin/notavero-sim"})
        self.assertIn(f"{runtime} (= {VERSION})", run(["dpkg-deb", "-f", debs[dev], "Depends"]))
        self.assertIn(f"{runtime} (= {VERSION})", run(["dpkg-deb", "-f", debs[python], "Depends"]))
        self.assertIn("usr/lib/python3/dist-packages/notavero/_version.py", contents[python])
        self.assertIn("usr/lib/python3/dist-packages/notavero/_counter_fields.py", contents[python])
        self.assertTrue(all(f.startswith("usr/lib/python3/dist-packages/notavero/") for f in contents[python]))
        for name in (runtime, tools):
            self.assertIn("libc6", run(["dpkg-deb", "-f", debs[name], "Depends"]))

        # A host built against the unpacked -dev package runs on the packaged
        # library, against the packaged simulator.
        pc_env = dict(os.environ, PKG_CONFIG_PATH=str(libdir / "pkgconfig"))
        flags = run(["pkg-config", "--cflags", "--libs", "notavero"], env=pc_env).split()
        run(["cc", "-o", self.tmp / "consumer-deb", HERE / "consumer.c", *flags])
        self.assert_consumer_runs(self.tmp / "consumer-deb", root / "usr/bin/notavero-sim", libdir,
                                  {"LD_LIBRARY_PATH": str(libdir)})

        if os.geteuid() == 0 and os.path.exists("/usr/bin/python3"):
            self.install_python3_package(debs)
        else:
            print("python3-notavero: not installed (dpkg -i needs root and Debian's python3)", file=sys.stderr)

    def test_wheel_carries_the_library_and_installs(self):
        # No package index: the build must need nothing beyond pip itself.
        env = dict(os.environ, NOTAVERO_LIBRARY=str(BUILD / "libnotavero.so"), PIP_NO_INDEX="1")
        package = ROOT / "bindings" / "python"
        pip = [PYTHON, "-m", "pip", "--disable-pip-version-check", "--no-input"]
        run([*pip, "wheel", "--no-deps", "-w", self.tmp / "wheels", package], env=env)
        (wheel,) = (self.tmp / "wheels").glob("*.whl")
        self.assertTrue(wheel.name.startswith(f"notavero-{VERSION}-py3-none-linux_"), wheel.name)
        with zipfile.ZipFile(wheel) as archive:
            names = set(archive.namelist())
            self.assertIn("Root-Is-Purelib: false", archive.read(f"notavero-{VERSION}.dist-info/WHEEL").decode())
            library = archive.read("notavero/libnotavero.so")
            record = archive.read(f"notavero-{VERSION}.dist-info/RECORD").decode()
        self.assertLessEqual({"notavero/__init__.py", "notavero/_driver.py", "notavero/_library.py",
                              "notavero/_version.py", "notavero/_counter_fields.py"}, names)
        self.assertEqual(library, (BUILD / "libnotavero.so").read_bytes())
        self.assertEqual({line.split(",")[0] for line in record.splitlines()}, names)

        # Into a plain venv of the system's python3, as docs/python.md says.
        system_python = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else PYTHON
        venv = self.tmp / "venv"
        run([system_python, "-m", "venv", venv])
        run([venv / "bin" / "pip", "--disable-pip-version-check", "install", package], env=env)
        env = self.simulator(BUILD / "notavero-sim")
        env.pop("NOTAVERO_LIBRARY", None)
        env.pop("PYTHONPATH", None)
        script = (
            "import notavero, notavero._library as l\n"
            "with notavero.Driver(7) as d:\n"
            "    d.wait_for_state(notavero.State.DISABLED, timeout=60)\n"
            "    print(notavero.__version__, l.library()._name, d.version)\n"
        )
        output = run([venv / "bin" / "python", "-c", script], env=env, cwd=self.tmp).split()
        (site,) = venv.glob("lib/python3*/site-packages")
        self.assertEqual(output, [VERSION, str(site / "notavero" / "libnotavero.so"), "v1.0#Notavero"])

    def install_python3_package(self, debs):
        """python3-notavero installed with dpkg -i (with the runtime package),
        imported by the system's python3 from its own place, and run."""
        wanted = [f"libnotavero{MAJOR}", "python3-notavero"]
        # Only what this test installs is removed again.
        installed = [name for name in wanted
                     if subprocess.run(["dpkg-query", "-W", "-f", "${Status}", name], capture_output=True,
                                       text=True).stdout.endswith(" installed")]
        self.addCleanup(lambda: [subprocess.run(["dpkg", "-P", name], capture_output=True)
                                 for name in reversed(wanted) if name not in installed])
        run(["dpkg", "-i", *(debs[name] for name in wanted)])
        env = self.simulator(BUILD / "notavero-sim")
        for variable in ("NOTAVERO_LIBRARY", "PYTHONPATH", "LD_LIBRARY_PATH"):
            env.pop(variable, None)
        script = (
            "import notavero, notavero._library as l\n"
            "with notavero.Driver(7) as d:\n"
            "    d.wait_for_state(notavero.State.DISABLED, timeout=60)\n"
            "    print(notavero.__file__, notavero.__version__, l.library()._name, d.version)\n"
        )
        output = run(["/usr/bin/python3", "-c", script], env=env, cwd=self.tmp).split()
        self.assertEqual(output, ["/usr/lib/python3/dist-packages/notavero/__init__.py", VERSION,
                                  f"libnotavero.so.{MAJOR}", "v1.0#Notavero"])


if __name__ == "__main__":
    unittest.main()
