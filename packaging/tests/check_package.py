#!/usr/bin/env python3
"""Checks the Debian package of the Nightcomet II game server as an operator would use it.

    check_package.py PACKAGE.deb BUILD_FOLDER

Unpacks the package into a scratch root (dpkg -x), checks what it holds, runs its maintainer
scripts against stand-ins for the commands they call and checks its systemd units. Then starts
the unpacked server from its unpacked path in a working folder of its own, with the packaged
sample svrcfg.ini set to free ports, as an unprivileged user and with no input, as the service
runs it. A player at 127.0.0.2 joins and must get its slot number, goes silent and must be
dropped; SIGTERM must make the server save scores.bin and end by that signal; the unpacked
nightcomet-scores must then show the drop. When strace is there, the server runs under it, and
every system call, socket family and file it used must be one that the unit allows.

Every wait has a generous deadline and everything started here is stopped on the way out.
"""

import os
import queue
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

DEADLINE = 30.0  # seconds, for every wait: generous for a loaded 2-core machine
JOIN_REQUEST = b"NIGHTCOMET\0"
FIRST_SLOT_REPLY = b"\0\0\0\0"
NOBODY = 65534

EXPECTED_FILES = [
    "usr/bin/nightcomet-server",
    "usr/bin/nightcomet-scores",
    "usr/share/nightcomet-server/svrcfg.ini",
    "usr/share/doc/nightcomet-server/README.md",
    "usr/lib/systemd/system/nightcomet-server.service",
    "usr/lib/systemd/system/nightcomet-server@.service",
    "usr/lib/sysusers.d/nightcomet-server.conf",
]
UNITS = {
    "nightcomet-server.service": "/var/lib/nightcomet",
    "nightcomet-server@.service": "/var/lib/nightcomet/%i",
}
# A hardened unit scores below this in `systemd-analyze security` (0 is best, 10 worst).
MOST_EXPOSURE = 2.0


class CheckFailed(Exception):
    pass


def Check(condition, message):
    if not condition:
        raise CheckFailed(message)


def Output(*command, **options):
    return subprocess.run(command, check=True, capture_output=True, text=True, timeout=DEADLINE,
                          **options).stdout


def CheckContents(package, root, build):
    files = Output("dpkg-deb", "--contents", package)
    expected = list(EXPECTED_FILES)
    if os.path.exists(os.path.join(build, "nightcomet-sim")):
        expected.append("usr/bin/nightcomet-sim")
    for path in expected:
        Check(os.path.isfile(os.path.join(root, path)), f"the package lacks /{path}")
    for program in [path for path in expected if path.startswith("usr/bin/")]:
        Check(os.access(os.path.join(root, program), os.X_OK), f"/{program} is not executable")
    Check(" ./usr/local" not in files, "the package installs into /usr/local")

    fields = Output("dpkg-deb", "--field", package, "Package", "Depends", "Maintainer")
    Check("Package: nightcomet-server" in fields, f"unexpected package name:\n{fields}")
    Check(re.search(r"Depends:.*\badduser\b", fields),
          f"the package does not need adduser:\n{fields}")
    Check(re.search(r"Depends:.*\blibc6 \(>=", fields),
          f"the library dependencies were not computed:\n{fields}")

    scripts = os.path.join(root, "DEBIAN")
    subprocess.run(["dpkg-deb", "--control", package, scripts], check=True, timeout=DEADLINE)
    for script in ["postinst", "prerm", "postrm"]:
        path = os.path.join(scripts, script)
        Check(os.access(path, os.X_OK), f"maintainer script {script} is missing or not executable")
        subprocess.run(["sh", "-n", path], check=True, timeout=DEADLINE)
    print("package contents and dependencies: ok")
    CheckMaintainerScripts(scripts)


# What each maintainer script must run, by its arguments: the commands it calls (adduser,
# install, systemctl are stand-ins that record their arguments), with or without the user and
# the folder already there. STATE is where the scripts' absolute paths are moved for the test.
SCRIPT_CASES = [
    ("postinst", ["configure"], False, [
        "adduser --system --group --home STATE/var/lib/nightcomet --no-create-home --quiet "
        "nightcomet",
        "install -d -o nightcomet -g nightcomet -m 0750 STATE/var/lib/nightcomet",
        "systemctl daemon-reload"]),
    ("postinst", ["configure", "1.0.0"], True, [
        "systemctl daemon-reload",
        "systemctl try-restart nightcomet-server.service nightcomet-server@*.service"]),
    ("prerm", ["remove"], True, [
        "systemctl stop nightcomet-server.service nightcomet-server@*.service"]),
    ("prerm", ["upgrade", "1.0.1"], True, []),
    ("postrm", ["remove"], True, ["systemctl daemon-reload"]),
    ("postrm", ["purge"], True, ["systemctl daemon-reload"]),
    ("postrm", ["upgrade", "1.0.1"], True, []),
]


def CheckMaintainerScripts(scripts):
    for script, arguments, installed, expected in SCRIPT_CASES:
        state = tempfile.mkdtemp(prefix="nightcomet-scripts-")
        try:
            log = os.path.join(state, "calls")
            tools = os.path.join(state, "bin")
            os.makedirs(tools)
            for name in ["adduser", "install", "systemctl"]:
                with open(os.path.join(tools, name), "w") as file:
                    file.write(f'#!/bin/sh\necho "{name} $*" >> "{log}"\n')
                os.chmod(os.path.join(tools, name), 0o755)
            with open(os.path.join(tools, "getent"), "w") as file:
                file.write("#!/bin/sh\nexit " + ("0" if installed else "2") + "\n")
            os.chmod(os.path.join(tools, "getent"), 0o755)
            os.makedirs(os.path.join(state, "run/systemd/system"))
            wants = os.path.join(state, "etc/systemd/system/multi-user.target.wants")
            os.makedirs(wants)
            links = ["nightcomet-server.service", "nightcomet-server@ctf.service"]
            for link in links:
                os.symlink("/usr/lib/systemd/system/" + link, os.path.join(wants, link))
            if installed:
                os.makedirs(os.path.join(state, "var/lib/nightcomet"))

            text = open(os.path.join(scripts, script)).read()
            for path in ["/run/systemd/", "/etc/systemd/", "/var/lib/nightcomet"]:
                text = text.replace(path, state + path)
            copy = os.path.join(state, script)
            with open(copy, "w") as file:
                file.write(text)
            environment = dict(os.environ, PATH=tools + os.pathsep + os.environ["PATH"])
            result = subprocess.run(["sh", "-e", copy, *arguments], env=environment,
                                    capture_output=True, text=True, timeout=DEADLINE)
            label = f"{script} {' '.join(arguments)}"
            Check(result.returncode == 0, f"{label} failed:\n{result.stdout}{result.stderr}")
            calls = open(log).read().splitlines() if os.path.exists(log) else []
            calls = [call.replace(state, "STATE") for call in calls]
            Check(calls == expected, f"{label} ran {calls}, not {expected}")
            left = sorted(os.listdir(wants))
            Check(left == ([] if arguments[0] == "purge" else links),
                  f"{label} left the enabling links {left}")
        finally:
            shutil.rmtree(state)
    print(f"maintainer scripts in {len(SCRIPT_CASES)} situations: ok")


def CheckUnits(root):
    server = "/usr/bin/nightcomet-server"
    for unit, folder in UNITS.items():
        text = open(os.path.join(root, "usr/lib/systemd/system", unit)).read()
        for line in [f"ExecStart={server}", f"WorkingDirectory={folder}", "User=nightcomet",
                     "StandardInput=null", "KillSignal=SIGTERM", "NoNewPrivileges=yes",
                     "ProtectSystem=strict"]:
            Check(re.search(rf"^{re.escape(line)}$", text, re.MULTILINE),
                  f"{unit} lacks the line {line}")
    if shutil.which("systemd-analyze") is None:
        print("systemd-analyze not found: units not verified")
        return
    # Verified copies that name the unpacked server, since the verifier wants the program to
    # exist; a template is verified as one of its instances.
    folder = tempfile.mkdtemp(prefix="nightcomet-units-")
    try:
        copies = []
        for unit in UNITS:
            text = open(os.path.join(root, "usr/lib/systemd/system", unit)).read()
            copy = os.path.join(folder, unit.replace("@.", "@check."))
            with open(copy, "w") as file:
                file.write(text.replace(f"ExecStart={server}", f"ExecStart={root}{server}"))
            copies.append(copy)
        result = subprocess.run(["systemd-analyze", "verify", *copies], capture_output=True,
                                text=True, timeout=DEADLINE)
        Check(result.returncode == 0 and result.stderr.strip() == "",
              f"systemd-analyze verify:\n{result.stdout}{result.stderr}")
        for copy in copies:
            report = subprocess.run(["systemd-analyze", "security", "--offline=yes", copy],
                                    capture_output=True, text=True, timeout=DEADLINE).stdout
            level = re.search(r"Overall exposure level for \S+: ([0-9.]+)", report)
            Check(level is not None, f"no exposure level from systemd-analyze security:\n{report}")
            Check(float(level.group(1)) < MOST_EXPOSURE,
                  f"{os.path.basename(copy)} is exposed at {level.group(1)}:\n{report}")
            print(f"{os.path.basename(copy)}: verified, exposure {level.group(1)}")
    finally:
        shutil.rmtree(folder)


def FreeUdpPort(address):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind((address, 0))
        return probe.getsockname()[1]


class Server:
    """The unpacked server running in a folder, its output read line by line on a thread.

    With a trace path and strace at hand, the server runs under strace, which records every
    system call and socket family it uses; strace itself ignores signals (-I never), so the
    signals sent to the server reach only the server.
    """

    def __init__(self, program, folder, trace=None):
        command = [program]
        self.traced = trace is not None and shutil.which("strace") is not None
        if self.traced:
            command = ["strace", "-f", "-qq", "-I", "never", "-o", trace, "--", program]
        if os.geteuid() == 0 and shutil.which("setpriv"):
            # As the service runs it: not as root.
            os.chown(folder, NOBODY, NOBODY)
            command = ["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups",
                       "--", *command]
        # A group of its own, so that Stop ends strace and the server in one step.
        self.process = subprocess.Popen(command, cwd=folder, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                        start_new_session=True)
        self.pid = self.process.pid
        self.lines = queue.Queue()
        self.seen = []
        threading.Thread(target=self._Read, daemon=True).start()

    def _Read(self):
        for line in self.process.stdout:
            self.lines.put(line.decode(errors="replace"))

    def Await(self, pattern):
        end = time.monotonic() + DEADLINE
        while time.monotonic() < end:
            try:
                line = self.lines.get(timeout=max(0.0, end - time.monotonic()))
            except queue.Empty:
                break
            self.seen.append(line)
            if re.search(pattern, line):
                if self.traced and self.pid == self.process.pid:
                    self.pid = ChildOf(self.process.pid)
                return line
        raise CheckFailed(f"the server never printed /{pattern}/; it printed:\n" +
                          "".join(self.seen))

    def Stop(self):
        # The whole group at once: a server whose tracer died first would run on untraced.
        try:
            os.killpg(self.process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass  # already gone
        self.process.wait(timeout=DEADLINE)


def ChildOf(parent):
    """The process whose parent is parent (strace's one child: the server)."""
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/stat") as file:
                fields = file.read().rsplit(")", 1)[1].split()
        except OSError:
            continue  # gone meanwhile
        if int(fields[1]) == parent:
            return int(entry)
    raise CheckFailed(f"strace ({parent}) has no child process")


def SyscallGroups():
    """Each of systemd's system call groups, with its members (calls and nested groups)."""
    groups = {}
    current = None
    for line in Output("systemd-analyze", "syscall-filter").splitlines():
        if line.startswith("@"):
            current = groups.setdefault(line.strip(), set())
        elif current is not None and line.startswith("    ") and not line.strip().startswith("#"):
            current.add(line.strip())
        elif not line.strip() or line.startswith("#"):
            current = None
    return groups


def Expand(names, groups):
    calls = set()
    for name in names:
        calls |= Expand(groups[name], groups) if name.startswith("@") else {name}
    return calls


def CheckTrace(root, trace, serverPid):
    """Every system call and socket family of the traced run is one the unit allows."""
    unit = open(os.path.join(root, "usr/lib/systemd/system/nightcomet-server@.service")).read()
    groups = SyscallGroups()
    allowed = set()
    for value in re.findall(r"^SystemCallFilter=(.*)$", unit, re.MULTILINE):
        if value.startswith("~"):
            allowed -= Expand(value[1:].split(), groups)
        else:
            allowed |= Expand(value.split(), groups)
    families = re.search(r"^RestrictAddressFamilies=(.*)$", unit, re.MULTILINE).group(1).split()

    text = open(trace).read()
    used = set(re.findall(r"^\d+ +(\w+)\(", text, re.MULTILINE))
    Check(len(used) > 10, f"the trace holds almost nothing:\n{text[:2000]}")
    Check(not used - allowed, f"system calls the unit forbids: {sorted(used - allowed)}")
    opened = set(re.findall(r"^\d+ +socket\((AF_\w+)", text, re.MULTILINE))
    Check("AF_INET" in opened and not opened - set(families),
          f"socket families {sorted(opened)}, the unit allows {sorted(families)}")
    # ProtectSystem=strict, ProtectHome=, PrivateTmp=, PrivateDevices= and ProtectProc= leave
    # the server its working folder to write in and the system's libraries to read.
    opens = re.findall(r"^\d+ +open(?:at)?\((?:AT_FDCWD, )?\"([^\"]*)\", ([\w|]+)", text,
                       re.MULTILINE)
    written = {path for path, flags in opens if re.search(r"O_WRONLY|O_RDWR|O_CREAT", flags)}
    Check("scores.bin.tmp" in written, f"the trace shows no save; files written: {written}")
    Check(not any(path.startswith("/") for path in written),
          f"the server writes outside its folder: {sorted(written)}")
    hiddenFolders = r"/(proc|sys|dev|home|root|tmp|run)(/|$)"
    hidden = [path for path, _ in opens if re.match(hiddenFolders, path)]
    Check(not hidden, f"the server opens files that the unit hides: {hidden}")
    Check(re.search(rf"^{serverPid} +\+\+\+ killed by SIGTERM", text, re.MULTILINE),
          "the traced server did not end by SIGTERM")
    print(f"{len(used)} system calls, socket families {sorted(opened)} and the files opened: "
          "all allowed by the unit")


def CheckServerRuns(root):
    folder = tempfile.mkdtemp(prefix="nightcomet-package-")
    server = None
    player = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        # The player listens at 127.0.0.2 on the port the server transmits to.
        player.bind(("127.0.0.2", 0))
        player.settimeout(DEADLINE)
        otherPort = player.getsockname()[1]
        listenPort = FreeUdpPort("0.0.0.0")
        sample = open(os.path.join(root, "usr/share/nightcomet-server/svrcfg.ini")).read()
        Check(re.fullmatch(r"port= \d+\notherport= \d+\n", sample), f"odd sample:\n{sample}")
        config = re.sub(r"^port= \d+", f"port= {listenPort}", sample, flags=re.MULTILINE)
        config = re.sub(r"^otherport= \d+", f"otherport= {otherPort}", config, flags=re.MULTILINE)
        with open(os.path.join(folder, "svrcfg.ini"), "w") as file:
            file.write(config)

        trace = os.path.join(folder, "strace.log")
        server = Server(os.path.join(root, "usr/bin/nightcomet-server"), folder, trace)
        server.Await(rf"^Transmitting port: {otherPort} \| Listening on {listenPort}$")
        player.sendto(JOIN_REQUEST, ("127.0.0.1", listenPort))
        reply, source = player.recvfrom(64)
        Check(reply == FIRST_SLOT_REPLY, f"join reply {reply!r}, not {FIRST_SLOT_REPLY!r}")
        server.Await(r"^Player 0 connected at 127\.0\.0\.2$")
        print(f"join from 127.0.0.2 answered with slot 0 from {source[0]}: ok")

        # Silent for longer than the timeout: dropped, which counts a death for the address.
        server.Await(r"^Player 0 disconnected$")
        os.kill(server.pid, signal.SIGTERM)
        status = server.process.wait(timeout=DEADLINE)
        if server.traced:
            CheckTrace(root, trace, server.pid)
        else:
            Check(status == -signal.SIGTERM, f"after SIGTERM the server ended with {status}")
        server.Await(r"^Dumping score records$")
        scores = os.path.join(folder, "scores.bin")
        Check(os.path.getsize(scores) == 804, "scores.bin is not 804 bytes")
        print("SIGTERM: scores saved, ended by the signal: ok")

        tool = os.path.join(root, "usr/bin/nightcomet-scores")
        csv = Output(tool, "--format=csv", scores)
        Check(csv == "position,address,kills,deaths,ratio\n0,127.0.0.2,0,1,0.00\n",
              f"nightcomet-scores printed:\n{csv}")
        leaderboard = Output(tool, cwd=folder)
        Check(leaderboard == "\nPRINTING LEADERBOARD\n---\n127.0.0.2 K-D: 0-1\n---\n",
              f"nightcomet-scores printed:\n{leaderboard}")
        print("nightcomet-scores reads the saved scores: ok")
    finally:
        player.close()
        if server is not None:
            server.Stop()
        shutil.rmtree(folder)


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    package, build = sys.argv[1], sys.argv[2]
    root = tempfile.mkdtemp(prefix="nightcomet-root-")
    os.chmod(root, 0o755)  # as / is, so that the unprivileged server can reach its files
    try:
        subprocess.run(["dpkg", "-x", package, root], check=True, timeout=DEADLINE)
        CheckContents(package, root, build)
        CheckUnits(root)
        CheckServerRuns(root)
    except CheckFailed as failure:
        sys.exit(f"package check failed: {failure}")
    finally:
        shutil.rmtree(root)
    print(f"{os.path.basename(package)}: all checks passed")


if __name__ == "__main__":
    main()
