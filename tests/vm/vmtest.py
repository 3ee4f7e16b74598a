"""Ebbmark on a real Debian 12 system: builds a guest with debootstrap, boots
it in qemu without a network, and lets tests/vm/guest/ebbmark-vm-test install
the packages and drive the service until it powers the guest off.

Run through scripts/test-vm. Exit status 0 when every check held, 1 when one
failed, 2 when the test could not run at all (no apt source, no root, ...):
a test that could not run has not passed."""

import argparse
import os
import re
import resource
import shutil
import signal
import subprocess
import sys
import threading
import time
import urllib.request
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[2]
GUEST = Path(__file__).resolve().parent / "guest"
SUITE = "bookworm"
GUEST_PACKAGES = ["systemd", "systemd-sysv", "udev", "dbus", "polkitd", "libpam-systemd",
                  "linux-image-amd64", "procps"]
# What the guest's initramfs needs to mount its root: the virtio disk and
# ext4 with its checksums.
INITRAMFS_MODULES = ["virtio_pci", "virtio_blk", "ext4", "crc32c_generic"]
# An emulated CPU on a busy host fails the kernel's clock watchdog, which
# then reads the emulated HPET for every time stamp; and the mitigations for
# CPU flaws make each system call dearer. Neither is under test here.
FAST_GUEST = "tsc=reliable mitigations=off"
SHUTDOWN_RECORD = "Shutdown initiated due to power event."
# The host's verdict when the guest is still up this long after the trigger line.
POWER_OFF_LIMIT = 120.0
# Each step that makes the guest (debootstrap, the dependencies) ends here at the latest.
DOWNLOAD_LIMIT = 600
REFUSAL_RECORD = "The system refused to hibernate"

class CannotRun(Exception):
    """The test could not be carried out; never a pass."""


# --- the apt source -------------------------------------------------------

def parse_sources(name, text):
    """(uri, suites, components) of each 'deb' entry of one sources file, in
    the one-line (.list) or the deb822 (.sources) format."""
    entries = []
    if name.endswith(".sources"):
        for stanza in re.split(r"\n\s*\n", text):
            fields, key = {}, None
            for line in stanza.splitlines():
                if line.startswith("#") or not line.strip():
                    continue
                if line[0] in " \t" and key:
                    fields[key] += " " + line.strip()
                    continue
                key, _, value = line.partition(":")
                key = key.strip().lower()
                fields[key] = value.strip()
            if "deb" not in fields.get("types", "").split():
                continue
            if fields.get("enabled", "yes").lower() == "no":
                continue
            for uri in fields.get("uris", "").split():
                entries.append((uri, fields.get("suites", "").split(),
                                fields.get("components", "").split()))
    else:
        for line in text.splitlines():
            line = line.split("#", 1)[0].strip()
            words = line.split()
            if len(words) < 3 or words[0] != "deb":
                continue
            words = words[1:]
            if words[0].startswith("["):  # options such as [arch=amd64 signed-by=...]
                while words and not words[0].endswith("]"):
                    words = words[1:]
                words = words[1:]
            if len(words) >= 2:
                entries.append((words[0], [words[1]], words[2:]))
    return entries


def pick_mirror(entries, suite=SUITE):
    """The first source that carries the release itself with main."""
    for uri, suites, components in entries:
        if suite in suites and "main" in components and uri.startswith(("http://", "https://")):
            return uri.rstrip("/")
    return None


def configured_mirror(apt_dir=Path("/etc/apt")):
    entries = []
    files = [apt_dir / "sources.list"] + sorted((apt_dir / "sources.list.d").glob("*"))
    for f in files:
        # apt itself reads only these two kinds; anything else is switched off.
        if f.is_file() and f.name.endswith((".list", ".sources")):
            entries += parse_sources(f.name, f.read_text(errors="replace"))
    mirror = pick_mirror(entries)
    if mirror is None:
        raise CannotRun(f"no apt source for Debian {SUITE} main in {apt_dir}/sources.list*")
    return mirror


def reachable_mirror():
    mirror = configured_mirror()
    probe_mirror(mirror)
    return mirror


def probe_mirror(mirror, timeout=15):
    url = f"{mirror}/dists/{SUITE}/Release"
    try:
        with urllib.request.urlopen(url, timeout=timeout) as answer:
            answer.read(64)
    except Exception as e:  # any reason at all means the test cannot run
        raise CannotRun(f"the apt source {mirror} cannot be reached ({url}: {e})") from e


# --- the serial line ------------------------------------------------------

class Progress:
    """The guest's reports, each stamped with the host's time on arrival."""

    def __init__(self, echo=True):
        self.lines = []  # (host time, text)
        self.echo = echo
        self.lock = threading.Lock()
        self.changed = threading.Condition(self.lock)

    def add(self, text, stamp=None):
        stamp = time.time() if stamp is None else stamp
        text = text.rstrip("\r\n").replace("\r", "")
        with self.lock:
            self.lines.append((stamp, text))
            self.changed.notify_all()
        if self.echo:
            print(f"  {time.strftime('%H:%M:%S', time.localtime(stamp))}"
                  f".{int(stamp * 1000) % 1000:03d}  {text}", flush=True)

    def first(self, prefix):
        with self.lock:
            return next(((t, s) for t, s in self.lines if s.startswith(prefix)), None)

    def all(self, prefix):
        with self.lock:
            return [(t, s) for t, s in self.lines if s.startswith(prefix)]


def kvm_boots(kernel, seconds=5.0):
    """Whether a kernel starts under KVM: /dev/kvm may open and still run
    nothing (a host without working nested virtualisation)."""
    if not os.access("/dev/kvm", os.R_OK | os.W_OK):
        return False
    probe = subprocess.Popen(
        ["qemu-system-x86_64", "-accel", "kvm", "-cpu", "host", "-m", "256", "-nodefaults",
         "-no-reboot", "-display", "none", "-monitor", "none", "-nic", "none",
         "-kernel", str(kernel), "-append", "console=ttyS0 panic=-1", "-serial", "stdio"],
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
        start_new_session=True)
    seen = threading.Event()

    def read():
        for line in probe.stdout:
            if b"Linux version" in line:
                seen.set()
                return

    threading.Thread(target=read, daemon=True).start()
    seen.wait(seconds)
    os.killpg(probe.pid, signal.SIGKILL)
    probe.wait()
    return seen.is_set()


class Boot:
    """One boot of the guest: qemu runs until the guest powers off, the host
    ends it (the guest is done, or a limit passed), or its time limit."""

    def __init__(self, run, phase, limit):
        self.run, self.phase, self.limit = run, phase, limit
        self.progress = Progress()
        self.exit_stamp = None
        self.ended_by = None  # "guest" (it powered off) or why the host ended it
        self.start = None

    def command(self):
        r = self.run
        accel = ["-accel", "kvm", "-cpu", "host"] if r.accel == "kvm" else ["-accel", "tcg"]
        return ["qemu-system-x86_64", *accel, "-smp", "1", "-m", "1024", "-nodefaults",
                "-no-reboot", "-display", "none", "-monitor", "none", "-nic", "none",
                "-kernel", str(r.kernel), "-initrd", str(r.initrd),
                "-append", f"root=/dev/vda rw console=ttyS0 panic=-1 {FAST_GUEST} "
                f"ebbmark.vmphase={self.phase}",
                "-drive", f"file={r.image},format=raw,if=virtio,cache=writeback",
                "-serial", f"file:{r.work / f'console-{self.phase}.log'}",
                "-serial", "stdio"]

    def go(self):
        print(f"== boot '{self.phase}' ({self.run.accel}, limit {self.limit:.0f} s)", flush=True)
        self.start = time.time()
        qemu = subprocess.Popen(self.command(), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, start_new_session=True)
        self.run.qemu = qemu
        reader = threading.Thread(target=self._read, args=(qemu,), daemon=True)
        reader.start()
        try:
            self._watch(qemu)
        finally:
            if qemu.poll() is None:
                os.killpg(qemu.pid, signal.SIGKILL)
                qemu.wait()
            reader.join(timeout=5)
            self.run.qemu = None
        return self

    def _read(self, qemu):
        for raw in qemu.stdout:
            self.progress.add(raw.decode("utf-8", "replace"))
        self.exit_stamp = self.exit_stamp or time.time()

    def _watch(self, qemu):
        while True:
            code = qemu.poll()
            now = time.time()
            if code is not None:
                self.exit_stamp = now
                self.ended_by = self.ended_by or "guest"
                return
            done = self.progress.first("DONE")
            trigger = self.progress.first("TRIGGER-LINE")
            if done:
                self.ended_by = "host: the guest is done"
            elif trigger and now - trigger[0] > POWER_OFF_LIMIT:
                self.ended_by = f"host: still up {POWER_OFF_LIMIT:.0f} s after the trigger line"
            elif now - self.start > self.limit:
                self.ended_by = f"host: time limit of {self.limit:.0f} s"
            if self.ended_by:
                os.killpg(qemu.pid, signal.SIGKILL)
                qemu.wait()
                self.exit_stamp = time.time()
                return
            time.sleep(0.1)

    # What the boot showed.
    def failures(self):
        return [s for _, s in self.progress.all("FAIL")]

    def powered_off(self):
        return self.ended_by == "guest"

    def trigger_to_exit(self):
        trigger = self.progress.first("TRIGGER-LINE")
        if trigger is None or not self.powered_off():
            return None
        return self.exit_stamp - trigger[0]


def journal_records(text):
    """The records of `journalctl -o cat` output, one a line."""
    return [line for line in text.splitlines() if line.strip()]


def check_power_boot(boot, boot_number, marker_lines, records):
    """Problems with a boot that should end in Ebbmark's power-off."""
    problems = [f"{boot.phase}: {f}" for f in boot.failures()]
    if boot.progress.first("TRIGGER-LINE") is None:
        problems.append(f"{boot.phase}: the relay never sent the low state of charge")
    if not boot.powered_off():
        problems.append(f"{boot.phase}: the guest was not powered off ({boot.ended_by})")
    runs = [line for line in marker_lines if line.startswith("run file ran")]
    if len(runs) != boot_number:
        problems.append(f"{boot.phase}: the run file's marker holds {len(runs)} runs, "
                        f"not {boot_number}")
    # A journal record reads "[110] Shutdown initiated ...": the identifier first.
    shutdowns = sum(1 for r in records if r.endswith(SHUTDOWN_RECORD))
    if shutdowns != boot_number:
        problems.append(f"{boot.phase}: the journal on the disk holds {shutdowns} "
                        f"\"{SHUTDOWN_RECORD}\" records, not {boot_number}")
    return problems


def hibernate_verdict(boot, records):
    """(problems, what was seen) for the boot with ShutdownType 2 and no swap:
    logind refuses, the service records it and shuts the guest down instead.
    The journal on the disk is the evidence; the serial line may lose the
    last records to the power-off."""
    problems = [f"{boot.phase}: {f}" for f in boot.failures()]
    refusal = next((r for r in records if REFUSAL_RECORD in r), None)
    if refusal is None:
        problems.append(f"{boot.phase}: the journal on the disk holds no refusal record")
        seen = "no refusal record"
    else:
        seen = f"refused: {refusal}"
    if boot.powered_off():
        seen += "; then the guest was powered off"
        if boot.trigger_to_exit() is not None:
            seen += f" {boot.trigger_to_exit():.1f} s after the trigger line"
    else:
        seen += f"; the guest was not powered off ({boot.ended_by})"
        problems.append(f"{boot.phase}: no shutdown after the refused hibernation "
                        f"({boot.ended_by})")
    return problems, seen


# --- the run --------------------------------------------------------------

class Run:
    def __init__(self, args):
        self.args = args
        self.work = Path(args.work).resolve()
        self.cache = Path(args.cache).resolve() if args.cache else None
        self.root = self.work / "root"
        self.image = self.work / "guest.img"
        self.kernel = self.work / "vmlinuz"
        self.initrd = self.work / "initrd.img"
        self.qemu = None
        self.times = []  # (phase, seconds)
        self.accel = "tcg"

    def timed(self, name, fn, *a):
        """Runs one phase and notes its time, and the CPU time its programs
        took: on a machine busy with other work the second tells what the
        phase costs."""
        start, cpu = time.monotonic(), cpu_seconds()
        try:
            return fn(*a)
        finally:
            self.times.append((name, time.monotonic() - start, cpu_seconds() - cpu))
            print(f"-- {name}: {self.times[-1][1]:.1f} s, CPU {self.times[-1][2]:.1f} s",
                  flush=True)

    def sh(self, *cmd, **kw):
        kw.setdefault("check", True)
        return subprocess.run([str(c) for c in cmd], **kw)

    def prepare(self, what, cmd, log, limit):
        """A step that makes the guest (most fetch from the apt source): bounded,
        and a failure means the test could not run, with the log's last words."""
        with open(log, "a") as out:
            step = subprocess.Popen([str(c) for c in cmd], stdin=subprocess.DEVNULL, stdout=out,
                                    stderr=subprocess.STDOUT, start_new_session=True,
                                    env=dict(os.environ, DEBIAN_FRONTEND="noninteractive",
                                             LC_ALL="C"))
            try:
                code = step.wait(timeout=limit)
            except subprocess.TimeoutExpired:
                os.killpg(step.pid, signal.SIGKILL)
                step.wait()
                raise CannotRun(f"{what} took longer than {limit} s (see {log})") from None
        if code != 0:
            tail = Path(log).read_text(errors="replace").splitlines()[-3:]
            raise CannotRun(f"{what} ended with {code}: " + " | ".join(tail))

    def build_root(self, mirror):
        shutil.rmtree(self.work, ignore_errors=True)
        self.work.mkdir(parents=True)
        debs = self.cache / "debs" if self.cache else self.work / "debs"
        debs.mkdir(parents=True, exist_ok=True)
        # Two stages, so that the kernel's initramfs is made with the
        # settings below: the default one holds most of the kernel's modules,
        # takes minutes to make and slows every emulated boot.
        self.prepare("debootstrap",
                      ["debootstrap", "--foreign", "--variant=minbase",
                       f"--include={','.join(GUEST_PACKAGES)}", f"--cache-dir={debs}", SUITE,
                       self.root, mirror],
                      self.work / "debootstrap.log", DOWNLOAD_LIMIT)
        conf = self.root / "etc/initramfs-tools/conf.d"
        conf.mkdir(parents=True, exist_ok=True)
        (conf / "ebbmark-vm").write_text("MODULES=list\nCOMPRESS=gzip\n")
        listed = self.root / "usr/share/initramfs-tools/modules.d"
        listed.mkdir(parents=True, exist_ok=True)
        (listed / "ebbmark-vm").write_text("\n".join(INITRAMFS_MODULES) + "\n")
        self.prepare("debootstrap --second-stage",
                      ["chroot", self.root, "/debootstrap/debootstrap", "--second-stage"],
                      self.work / "debootstrap.log", DOWNLOAD_LIMIT)

    def fetch_dependencies(self, debs):
        """The packages' dependencies into the guest's apt cache: the guest
        has no network, so apt must find everything there."""
        archives = self.root / "var/cache/apt/archives"
        lists = self.root / "var/lib/apt/lists"
        if self.cache:
            for f in (self.cache / "debs").glob("*.deb"):
                if not (archives / f.name).exists():
                    shutil.copy2(f, archives / f.name)
            if (self.cache / "lists").is_dir():
                shutil.copytree(self.cache / "lists", lists, dirs_exist_ok=True)
        shutil.copy2("/etc/resolv.conf", self.root / "etc/resolv.conf")
        inside = self.root / "root/ebbmark-debs"
        (inside / "upgrade").mkdir(parents=True)
        for d in debs["first"]:
            shutil.copy2(d, inside / d.name)
        for d in debs["upgrade"]:
            shutil.copy2(d, inside / "upgrade" / d.name)
        # A minimal system, as many servers are set up: what the packages
        # recommend (translations, themes) would double what the emulated
        # guest unpacks, and the packages must work from their Depends alone.
        (self.root / "etc/apt/apt.conf.d/90ebbmark-vm").write_text(
            'APT::Install-Recommends "false";\n')
        log = self.work / "apt.log"
        self.prepare("apt-get update", ["chroot", self.root, "apt-get", "update", "-q"], log,
                      DOWNLOAD_LIMIT)
        install = ["chroot", self.root, "apt-get", "install", "-y", "-q",
                   *[f"/root/ebbmark-debs/{d.name}" for d in debs["first"]]]
        self.prepare("apt-get install --download-only", [*install, "--download-only"], log,
                     DOWNLOAD_LIMIT)
        (self.root / "etc/resolv.conf").unlink()
        plan = subprocess.run([*install, "--simulate"], capture_output=True, text=True,
                              check=False, env=dict(os.environ, LC_ALL="C")).stdout
        for f in archives.glob("*.deb"):
            if not needed_deb(f.name, plan):
                f.unlink()
        if self.cache:
            for f in archives.glob("*.deb"):
                if not (self.cache / "debs" / f.name).exists():
                    shutil.copy2(f, self.cache / "debs" / f.name)
            shutil.copytree(lists, self.cache / "lists", dirs_exist_ok=True,
                            ignore=shutil.ignore_patterns("lock", "partial"))

    def add_test(self):
        r = self.root
        (r / "etc/hostname").write_text("ebbmark-vm\n")
        (r / "etc/hosts").write_text("127.0.0.1 localhost\n127.0.1.1 ebbmark-vm\n")
        (r / "etc/fstab").write_text("/dev/vda / ext4 rw,errors=remount-ro 0 1\n")
        self.sh("systemd-machine-id-setup", f"--root={r}", capture_output=True)
        for rel, mode in (("usr/local/sbin/ebbmark-vm-test", 0o755),
                          ("etc/systemd/system/ebbmark-vm-test.service", 0o644),
                          ("usr/local/share/ebbmark-vm/drain.txt", 0o644)):
            dest = r / rel
            dest.parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(GUEST / Path(rel).name, dest)
            os.chmod(dest, mode)
        wants = r / "etc/systemd/system/multi-user.target.wants"
        wants.mkdir(parents=True, exist_ok=True)
        (wants / "ebbmark-vm-test.service").symlink_to("/etc/systemd/system/ebbmark-vm-test.service")
        # Nothing else may hold dpkg's lock or the CPU while the test runs.
        for unit in ("apt-daily.timer", "apt-daily-upgrade.timer", "e2scrub_all.timer",
                     "fstrim.timer"):
            link = r / "etc/systemd/system" / unit
            if not link.exists():
                link.symlink_to("/dev/null")
        shutil.copy2(sorted((r / "boot").glob("vmlinuz-*"))[-1], self.kernel)
        shutil.copy2(sorted((r / "boot").glob("initrd.img-*"))[-1], self.initrd)

    def make_image(self):
        used = int(subprocess.run(["du", "-sm", str(self.root)], capture_output=True, text=True,
                                  check=True).stdout.split()[0])
        size = used + max(used // 2, 512)
        with open(self.image, "wb") as f:
            f.truncate(size << 20)
        self.sh("mkfs.ext4", "-q", "-F", "-L", "ebbmark-vm", "-d", self.root, self.image)
        self.remove_root()

    def remove_root(self):
        unmount_under(self.root)
        shutil.rmtree(self.root, ignore_errors=True)

    def debugfs(self, request):
        return subprocess.run(["debugfs", "-R", request, str(self.image)], capture_output=True,
                              text=True, check=False).stdout

    def read_disk(self):
        """The run file's marker and the journal's records, read from the
        image without mounting it."""
        marker = self.debugfs("cat /var/lib/ebbmark-vm/marker").splitlines()
        journal = self.work / "journal"
        shutil.rmtree(journal, ignore_errors=True)
        journal.mkdir()
        self.debugfs(f"rdump /var/log/journal {journal}")
        out = subprocess.run(["journalctl", "-D", str(journal / "journal"), "-t", "Ebbmark",
                              "-o", "cat", "--no-pager"], capture_output=True, text=True,
                             check=False).stdout
        return marker, journal_records(out)

    def cleanup(self):
        if self.qemu and self.qemu.poll() is None:
            os.killpg(self.qemu.pid, signal.SIGKILL)
            self.qemu.wait()
        self.remove_root()
        if not self.args.keep:
            for name in ("guest.img", "vmlinuz", "initrd.img", "journal", "debs"):
                p = self.work / name
                shutil.rmtree(p, ignore_errors=True) if p.is_dir() else p.unlink(missing_ok=True)


def needed_deb(name, plan):
    """Whether the package file `name` (pkg_version_arch.deb) is one that
    `apt-get install --simulate` output `plan` would install: the image
    carries only those, not the cached files of packages already there."""
    package, _, rest = name.partition("_")
    version = rest.rpartition("_")[0].replace("%3a", ":")
    return re.search(rf"^Inst {re.escape(package)}(:\S+)? (\[\S+\] )?\({re.escape(version)} ",
                     plan, re.M) is not None


def cpu_seconds():
    """User and system time of this process and the programs it waited for."""
    me, children = resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(
        resource.RUSAGE_CHILDREN)
    return me.ru_utime + me.ru_stime + children.ru_utime + children.ru_stime


def unmount_under(path):
    """Anything a failed debootstrap left mounted inside the guest's root."""
    try:
        mounts = [line.split()[1] for line in Path("/proc/mounts").read_text().splitlines()]
    except OSError:
        return
    for m in sorted((m for m in mounts if m.startswith(str(path) + "/")), reverse=True):
        subprocess.run(["umount", "-l", m], check=False)


def upgrade_deb(deb, work):
    """The same package under a higher version: what an upgrade brings. An
    exact dependency on its sibling package moves up with it."""
    tree = work / "upgrade-tree"
    shutil.rmtree(tree, ignore_errors=True)
    subprocess.run(["dpkg-deb", "-R", str(deb), str(tree)], check=True)
    control = tree / "DEBIAN/control"
    text = control.read_text()
    version = re.search(r"^Version: (.+)$", text, re.M).group(1)
    text = text.replace(f"Version: {version}", f"Version: {version}+vm1")
    control.write_text(text.replace(f"(= {version})", f"(= {version}+vm1)"))
    out = work / deb.name.replace(f"_{version}_", f"_{version}+vm1_")
    subprocess.run(["dpkg-deb", "-b", "-Zgzip", str(tree), str(out)], check=True,
                   capture_output=True)
    shutil.rmtree(tree)
    return out


def find_debs(dist):
    found = {}
    for name in ("ebbmark", "ebbmark-config"):
        debs = sorted(Path(dist).glob(f"{name}_*_amd64.deb"))
        if not debs:
            raise CannotRun(f"no {name} package in {dist} (scripts/package makes it)")
        found[name] = debs[-1]
    return found


LIMITS = {"kvm": {"install": 300, "reboot": 180, "hibernate": 180, "purge": 120},
          "tcg": {"install": 420, "reboot": 240, "hibernate": 240, "purge": 180}}


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--dist", default=str(SOURCE / "dist"))
    p.add_argument("--work", default=str(SOURCE / "build/vm"))
    p.add_argument("--cache", default=None, help="keep downloads here between runs")
    p.add_argument("--accel", choices=("auto", "kvm", "tcg"), default="auto")
    p.add_argument("--keep", action="store_true", help="keep the image afterwards")
    p.add_argument("--reuse-image", action="store_true",
                   help="boot the image a --keep run left (for working on the guest script)")
    args = p.parse_args(argv)

    run = Run(args)
    problems, seen = [], []
    started = time.monotonic()
    try:
        if os.geteuid() != 0:
            raise CannotRun("debootstrap and chroot need root")
        debs = find_debs(args.dist)
        mirror = run.timed("apt source", reachable_mirror)
        print(f"apt source: {mirror}; cache: {run.cache or 'none'}", flush=True)
        if args.reuse_image and run.image.exists():
            print("reusing the image of the last run", flush=True)
        else:
            run.timed("debootstrap", run.build_root, mirror)
            up = [upgrade_deb(debs[name], run.work) for name in ("ebbmark", "ebbmark-config")]
            run.timed("dependencies", run.fetch_dependencies,
                      {"first": [debs["ebbmark"], debs["ebbmark-config"]], "upgrade": up})
            run.timed("guest files", run.add_test)
            run.timed("image", run.make_image)
        if args.accel == "auto":
            run.accel = "kvm" if run.timed("kvm probe", kvm_boots, run.kernel) else "tcg"
        else:
            run.accel = args.accel

        # A machine busy with other work may ask for longer limits; the
        # 120 s from the trigger line to the power-off stays.
        scale = float(os.environ.get("EBBMARK_VM_TIME_SCALE", "1"))
        limits = {phase: limit * scale for phase, limit in LIMITS[run.accel].items()}
        boots = []
        for number, phase in enumerate(("install", "reboot"), start=1):
            boot = run.timed(f"boot {phase}", Boot(run, phase, limits[phase]).go)
            boots.append(boot)
            marker, records = run.timed(f"read disk after {phase}", run.read_disk)
            problems += check_power_boot(boot, number, marker, records)
            if boot.trigger_to_exit() is not None:
                seen.append(f"{phase}: trigger line to qemu's exit {boot.trigger_to_exit():.1f} s")
            if problems:
                break
        if not problems:
            boot = run.timed("boot hibernate", Boot(run, "hibernate", limits["hibernate"]).go)
            _, records = run.timed("read disk after hibernate", run.read_disk)
            wrong, what = hibernate_verdict(boot, records)
            problems += wrong
            seen.append(f"hibernate without swap: {what}")
            # Removal and purge have a boot of their own, whatever the
            # hibernation gave: they do not depend on it.
            boot = run.timed("boot purge", Boot(run, "purge", limits["purge"]).go)
            problems += [f"purge: {f}" for f in boot.failures()]
            if not boot.progress.first("DONE"):
                problems.append(f"purge: remove and purge did not finish ({boot.ended_by})")
    except CannotRun as e:
        print(f"test-vm: could not run: {e}", flush=True)
        run.cleanup()
        return 2
    except Exception:
        run.cleanup()
        raise
    run.timed("clean up", run.cleanup)

    print(f"== where the time went (load average {os.getloadavg()[0]:.1f} at the end)",
          flush=True)
    print(f"   {'phase':<28} {'time':>9} {'CPU':>9}")
    for name, seconds, cpu in run.times:
        print(f"   {name:<28} {seconds:7.1f} s {cpu:7.1f} s")
    print(f"   {'whole run':<28} {time.monotonic() - started:7.1f} s {cpu_seconds():7.1f} s "
          f"({run.accel})")
    for s in seen:
        print(f"== {s}")
    for s in problems:
        print(f"FAIL {s}")
    print("test-vm: " + ("passed" if not problems else f"{len(problems)} failures"), flush=True)
    return 0 if not problems else 1


if __name__ == "__main__":
    sys.exit(main())
