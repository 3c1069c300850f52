"""The emulated handheld: boots the device binaries on a Malta board under qemu with a 320 x 240
x 16 frame buffer, a PS/2 keyboard and a FAT32 card on a virtio disk, and drives them from the
host. Start with Guest: it builds the initramfs, boots, runs programs, presses keys (QMP) and
captures the screen; Card reads the card's image once the guest is gone.

As on the device, every program runs as under a kernel of the Linux 2.6 era (oldkernel.c),
with its home folder on the card. The guest only runs what it is told over its serial line and
reports pids and exit statuses back; every judgement is made here, from captures, files in
the share and on the card, and exit statuses.
"""

import hashlib
import json
import os
import re
import queue
import shlex
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

def _guest_dir():
    """guest-kernel.sh's folder, named after the start of that script's SHA-256."""
    with open(os.path.join(SOURCE_DIR, "tests", "device", "guest-kernel.sh"), "rb") as f:
        stamp = hashlib.sha256(f.read()).hexdigest()
    return os.path.join(SOURCE_DIR, ".cache", "device-guest-" + stamp[:12])


GUEST_DIR = _guest_dir()
DEVICE_CC = os.path.join(SOURCE_DIR, ".cache", "device-runtime", "bin", "device-cc")
# DEVICE_DIST points the rig at other binaries, say a scratch build with a fault put in.
DIST_DIR = os.environ.get("DEVICE_DIST") or os.path.join(SOURCE_DIR, "dist", "mipsel")
SHARE = "/mnt/share"  # where the guest mounts the host's share
CARD = "/mnt/card"    # where the guest mounts the card
CARD_MIB = 64
# How long to wait for voltrace's next sample, a minute after the last: each is due at its
# minute on the log's clock, but is seen only once the guest's processor, shared with the
# load thread on a busy host, has taken it; and a guest whose emulator was held up comes back
# 25.8 s behind the host (see clock_lost). Lateness does not add up from one sample to the next.
SAMPLE_MINUTE = 120

# PID 1. The kernel panics when init ends, so the command loop's end is followed by a sleep
# that never ends. Programs get a free VT of their own from SDL, so nothing else may draw on
# the frame buffer: the kernel and the shell speak only on the serial line.
INIT = r"""#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for m in $(cat /lib/modules/order); do insmod /lib/modules/$m.ko; done
mkdir -p /mnt/share /mnt/card /tmp
mount -t 9p -o trans=virtio,version=9p2000.L,cache=none share /mnt/share
mount -t vfat /dev/vda /mnt/card || echo "@nocard"
setsid -c sh /rig/guest.sh <>/dev/ttyS0 >&0 2>&1
while :; do sleep 3600; done
"""

# The guest's half of the protocol: one command per line, "ID VERB ARGS". "start" runs a shell
# command in the background and reports its pid and then its exit status (128 + N for signal
# N, as the shell reports it); "sh" runs one in the foreground and reports its status. Job
# control is on because without it the shell starts background commands with SIGINT
# ignored, which a launcher's plain fork and exec does not do; so each started command has a
# process group of its own. The shell that waits for it shares the group and must outlive a
# signal sent to it: it traps them (a trap, unlike an ignore, is not handed on).
GUEST_SH = r"""stty -echo
set -m
echo "@ready"
while read -r id verb rest; do
    case $verb in
    start)
        ( trap : INT TERM HUP; sh -c "echo @$id pid \$\$; $rest"; echo "@$id exit $?" ) &
        ;;
    sh)
        eval "$rest"; echo "@$id done $?"
        ;;
    esac
done
"""

# qemu key names for the device's buttons, by the names the programs' footers use.
KEYS = {
    "START": "ret", "SELECT": "esc", "LEFT": "left", "RIGHT": "right", "UP": "up",
    "DOWN": "down", "L": "tab", "R": "backspace", "END": "end",
}


class RigError(Exception):
    pass


def _cpio(entries, path):
    """Writes a newc cpio archive: entries are (name, mode, data or link target, rdev)."""
    out = bytearray()
    for ino, (name, mode, data, rdev) in enumerate(entries + [("TRAILER!!!", 0, b"", (0, 0))],
                                                   start=1):
        name_b = name.encode() + b"\0"
        header = "070701" + "".join("%08X" % v for v in (
            ino, mode, 0, 0, 1, 0, len(data), 0, 0, rdev[0], rdev[1], len(name_b), 0))
        out.extend(header.encode() + name_b)
        out.extend(b"\0" * (-len(out) % 4))  # name and data each padded to 4 bytes
        out.extend(data)
        out.extend(b"\0" * (-len(out) % 4))
    with open(path, "wb") as f:
        f.write(out)


def build_initramfs(path, programs, tools):
    """The guest's whole file system: busybox, the share's and the card's modules, the init,
    the rig's tools and the programs (each name -> host file) in /bin."""
    def blob(p):
        with open(p, "rb") as f:
            return f.read()

    d, x, r = 0o040755, 0o100755, 0o100644
    entries = [(n, d, b"", (0, 0)) for n in
               ("bin", "dev", "proc", "sys", "mnt", "tmp", "lib", "lib/modules", "rig")]
    entries.append(("dev/console", 0o020600, b"", (5, 1)))
    entries.append(("bin/busybox", x, blob(os.path.join(GUEST_DIR, "busybox")), (0, 0)))
    entries.append(("init", x, INIT.encode(), (0, 0)))
    entries.append(("rig/guest.sh", r, GUEST_SH.encode(), (0, 0)))
    for name, host_path in tools.items():
        entries.append(("bin/" + name, x, blob(host_path), (0, 0)))
    modules = os.path.join(GUEST_DIR, "modules")
    for name in sorted(os.listdir(modules)):
        entries.append(("lib/modules/" + name, r, blob(os.path.join(modules, name)), (0, 0)))
    for name, host_path in programs.items():
        entries.append(("bin/" + name, x, blob(host_path), (0, 0)))
    _cpio(entries, path)


def build_tool(name, out):
    """A guest tool from tests/device/NAME.c, static for the guest: the device runtime's
    compiler when it is there, else the cross compiler's own static C library (fine on the
    emulated core)."""
    src = os.path.join(SOURCE_DIR, "tests", "device", name + ".c")
    cc = [DEVICE_CC] if os.access(DEVICE_CC, os.X_OK) else ["mipsel-linux-gnu-gcc", "-static"]
    subprocess.run(cc + ["-O2", "-o", out, src], check=True)


def call_names():
    """o32 system call numbers -> names, from the device runtime's C library headers."""
    path = os.path.join(os.path.dirname(os.path.dirname(DEVICE_CC)), "include", "bits",
                        "syscall.h")
    try:
        with open(path) as f:
            return {int(n): name for name, n in re.findall(r"#define __NR_(\w+)\s+(\d+)",
                                                           f.read())}
    except OSError:
        return {}


def make_card(path):
    """A fresh card image: CARD_MIB MiB of FAT32, as users' cards come formatted."""
    with open(path, "wb") as f:
        f.truncate(CARD_MIB << 20)
    subprocess.run(["mkfs.vfat", "-F", "32", "-n", "CARD", path], check=True,
                   stdout=subprocess.DEVNULL)


class Card:
    """A card image read from the host with mtools, while no guest has it mounted. Paths
    are relative to the card's root."""

    # What fsck.fat -n reports after any unclean stop, and is harmless: the dirty flag (byte
    # 65 of the boot sector, so its backup differs there), and the free-cluster count the
    # kernel keeps in memory. Whole lines, blanks stripped.
    HARMLESS = [re.compile(p) for p in (
        r"There are differences between boot sector and its backup\.",
        r"This is mostly harmless\. Differences: \(offset:original/backup\)",
        r"65:01/00", r"Not automatically fixing this\.",
        r"Dirty bit is set\. Fs was not properly unmounted and some data may be corrupt\.",
        r"Automatically removing dirty bit\.",
        r"Free cluster summary wrong \(\d+ vs\. really \d+\)", r"Auto-correcting\.",
        r"Leaving filesystem unchanged\.")]

    def __init__(self, path):
        self.path = path

    def _mtools(self, *args):
        return subprocess.run(list(args), capture_output=True,
                              env=dict(os.environ, MTOOLS_SKIP_CHECK="1"))

    def read(self, rel):
        """The file's bytes, or None when it is not there."""
        r = self._mtools("mtype", "-i", self.path, "::" + rel)
        return r.stdout if r.returncode == 0 else None

    def files(self, folder):
        """The names in a folder (without . and ..)."""
        r = self._mtools("mdir", "-b", "-i", self.path, "::" + folder)
        return sorted(os.path.basename(line.rstrip("/")) for line in
                      r.stdout.decode(errors="replace").splitlines() if line.strip())

    def findings(self):
        """What fsck.fat -n reports: the lines between its version and its summary."""
        r = subprocess.run(["fsck.fat", "-n", self.path], capture_output=True)
        report = [line.strip() for line in
                  (r.stdout + r.stderr).decode(errors="replace").splitlines()]
        return [line for line in report[1:] if line and not line.startswith(self.path + ":")]

    def damage(self):
        """The findings beyond the harmless marks of an unclean stop; none on a sound card."""
        return [line for line in self.findings()
                if not any(h.fullmatch(line) for h in self.HARMLESS)]


class Screen:
    """One capture: width, height and 8-bit RGB rows, as qemu shows the frame buffer."""

    def __init__(self, w, h, rgb):
        self.w, self.h, self.rgb = w, h, rgb

    def at(self, x, y):
        i = (y * self.w + x) * 3
        return tuple(self.rgb[i:i + 3])

    def pixels(self, x, y, w, h):
        for yy in range(max(y, 0), min(y + h, self.h)):
            row = self.rgb[(yy * self.w) * 3:(yy * self.w + self.w) * 3]
            for xx in range(max(x, 0), min(x + w, self.w)):
                yield xx, yy, tuple(row[xx * 3:xx * 3 + 3])

    def count(self, region, colour, tolerance=10):
        """Pixels of region (x, y, w, h) within tolerance of colour on every channel."""
        return sum(1 for _, _, c in self.pixels(*region) if near(c, colour, tolerance))

    def colours(self, region, top=3):
        """The most common colours of a region, for failure messages."""
        seen = {}
        for _, _, c in self.pixels(*region):
            seen[c] = seen.get(c, 0) + 1
        return sorted(seen.items(), key=lambda kv: -kv[1])[:top]

    def box(self, colour, tolerance=8):
        """Bounding box (left, top, right, bottom) and count of the pixels of one colour."""
        left, top, right, bottom, n = self.w, self.h, -1, -1, 0
        for x, y, c in self.pixels(0, 0, self.w, self.h):
            if near(c, colour, tolerance):
                left, top = min(left, x), min(top, y)
                right, bottom = max(right, x), max(bottom, y)
                n += 1
        return left, top, right, bottom, n

    def same(self, other, region):
        return list(self.pixels(*region)) == list(other.pixels(*region))


def shown(r, g, b):
    """How a colour mapped to the 565 frame buffer comes back in a capture: each field cut to
    its bits, then widened to 8 by repeating them. (200, 200, 220) shows as (206, 203, 222)."""
    r5, g6, b5 = r >> 3, g >> 2, b >> 3
    return (r5 << 3 | r5 >> 2, g6 << 2 | g6 >> 4, b5 << 3 | b5 >> 2)


def near(c, colour, tolerance=10):
    return all(abs(a - b) <= tolerance for a, b in zip(c, colour))


def parse_ppm(data):
    """A capture, as qemu's screendump writes it (binary PPM), as a Screen."""
    parts = data.split(maxsplit=4)
    if parts[0] != b"P6" or parts[3] != b"255":
        raise RigError("not an 8-bit PPM")
    w, h = int(parts[1]), int(parts[2])
    return Screen(w, h, parts[4][:w * h * 3])


def decode_png(data, path="the PNG"):
    """A screenshot's PNG bytes as a Screen, read by ImageMagick, a PNG reader that is not the
    rig's own, and handed over as PPM. Anything it has to say about the file is a fault."""
    r = subprocess.run(["convert", "png:-", "-depth", "8", "ppm:-"], input=data,
                       capture_output=True)
    if r.returncode != 0 or r.stderr:
        raise RigError("%s: %s" % (path, r.stderr.decode(errors="replace").strip()))
    return parse_ppm(r.stdout)


class Program:
    """A program started in the guest: its host-side folder in the share and its pid there."""

    def __init__(self, guest, name, folder):
        self.guest, self.name, self.folder = guest, name, folder
        self.pid = None
        self.status = None

    @property
    def refused(self):
        """The system calls that oldkernel failed, by number: with ENOSYS, or with EINVAL
        for a clock newer than the device's kernel."""
        text = read(os.path.join(self.folder, "refused")) or ""
        return sorted(set(int(n) for n in text.split()))

    @property
    def output(self):
        try:
            with open(os.path.join(self.folder, "out"), "rb") as f:
                return f.read().decode(errors="replace")
        except FileNotFoundError:
            return ""

    def running(self):
        self.guest._collect()
        return self.status is None

    def signal(self, sig):
        self.guest.shell("kill -%d %d" % (sig, self.pid))

    def signal_group(self, sig):
        """sig to the program's process group, as a launcher ends what it started: the
        program, and whatever it left in its group, reach it (oldkernel's supervisor ignores
        it); the commands the program starts in groups of their own do not."""
        self.guest.shell("kill -%d -$(cut -d' ' -f5 /proc/%d/stat)" % (sig, self.pid))

    def wait(self, timeout):
        """The exit status (128 + N after signal N), or None if still running after timeout."""
        deadline = time.monotonic() + timeout
        while self.running() and time.monotonic() < deadline:
            time.sleep(0.05)
        return self.status


class Guest:
    """One booted emulated handheld. Use as a context manager: the emulator is killed on
    every way out, and dies with this process should that be killed."""

    def __init__(self, programs=("voltrace", "strobel", "framepace"), card=None):
        """card: the host path of a card image to boot with (see make_card), kept when the
        guest ends; by default a fresh one that goes with the guest."""
        self.programs = programs
        self.work = tempfile.mkdtemp(prefix="device-rig.")
        self.card = card or os.path.join(self.work, "card.img")
        if not card:
            make_card(self.card)
        # Linux leaves a card that came dirty dirty, even through a clean unmount.
        self.card_was_clean = not Card(self.card).findings()
        self.share = os.path.join(self.work, "share")
        os.mkdir(self.share)
        self.proc = None
        self.lines = queue.Queue()
        self.serial_log = []
        self.qmp = None
        self.qmp_buffer = b""
        self.started = {}  # id -> Program
        self.next_id = 0
        self.captures = 0

    # --- boot and shutdown -------------------------------------------------------------

    def __enter__(self):
        try:
            self.boot()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, kind, value, tb):
        if kind is None and self.proc.poll() is None:
            self.eject()
        self.close()

    def eject(self):
        """Ends what still runs, unmounts the card and ends the guest. Any finding of fsck
        on a card that came clean is a failure then (a clean unmount leaves not even the
        dirty flag); on one that came dirty, anything beyond the marks of an unclean stop."""
        # A program's private mount namespace holds the card too, until its last process
        # (oldkernel's supervisor outlives the program for a moment) has gone.
        pids = " ".join(str(p.pid) for p in self.started.values() if p.running())
        status = self.shell("kill -9 %s 2>/dev/null; while pidof oldkernel >/dev/null; do "
                            "sleep 0.1; done; umount %s" % (pids, CARD))
        self.cut()
        self.report_refused()
        card = Card(self.card)
        findings = card.findings() if self.card_was_clean else card.damage()
        if status != 0 or findings:
            raise RigError("the card after a clean unmount (status %d): %s" % (status, findings))

    def throttle_card(self, bps):
        """The card's reads and writes together limited to bps bytes a second (0: as fast as
        the host's disk), as a cheap card that stalls while it erases. A lone sample's few
        bytes pass even at 512 B/s: a stall takes another writer's data queued ahead."""
        self._qmp("block_set_io_throttle", device="card", bps=bps, bps_rd=0, bps_wr=0,
                  iops=0, iops_rd=0, iops_wr=0)

    def cut(self):
        """A power cut: the emulator is killed with no shutdown and no sync. What the guest's
        kernel had sent to the disk is on the card; its page cache is lost."""
        self.proc.kill()
        self.proc.wait()

    def report_refused(self):
        """Prints which newer system calls each program was refused (and fell back from)."""
        names = call_names()
        for p in self.started.values():
            if p.refused:
                print("%s: refused %s" % (p.name, ", ".join(
                    "%s (%d)" % (names.get(n, "?"), n) for n in p.refused)))

    def boot(self):
        for f in ("vmlinux", "busybox", "modules/order"):
            if not os.path.exists(os.path.join(GUEST_DIR, f)):
                raise RigError("no %s in %s: run tests/device/guest-kernel.sh" % (f, GUEST_DIR))
        binaries = {}
        for name in self.programs:
            path = os.path.join(DIST_DIR, name)
            if not os.path.exists(path):
                raise RigError("no %s: run ./scripts/dist-mipsel.sh" % path)
            binaries[name] = path
        tools = {}
        for name in ("fbgrab", "oldkernel", "consolestate"):
            tools[name] = os.path.join(self.work, name)
            build_tool(name, tools[name])
        initrd = os.path.join(self.work, "initramfs.cpio")
        build_initramfs(initrd, binaries, tools)

        qmp_path = os.path.join(self.work, "qmp")
        cmd = [
            "setpriv", "--pdeathsig", "KILL", "--",
            "qemu-system-mipsel", "-M", "malta", "-cpu", "24Kc", "-m", "256M",
            "-kernel", os.path.join(GUEST_DIR, "vmlinux"), "-initrd", initrd,
            # The M picks the progressive mode (without it captures come out 320 x 480);
            # the cursor and console blanking are off so only the programs draw.
            "-append", "console=ttyS0 quiet panic=-1 video=cirrusfb:320x240M-16@60 "
                       "vt.global_cursor_default=0 consoleblank=0",
            "-vga", "cirrus", "-display", "none", "-nic", "none", "-no-reboot",
            "-monitor", "none", "-chardev", "stdio,id=serial,signal=off",
            "-serial", "chardev:serial",
            "-qmp", "unix:%s,server=on,wait=off" % qmp_path,
            "-fsdev", "local,id=fs0,path=%s,security_model=none" % self.share,
            "-device", "virtio-9p-pci,fsdev=fs0,mount_tag=share",
            "-drive", "file=%s,format=raw,if=virtio,id=card" % self.card,
        ]
        self.boot_started = time.monotonic()
        # Its own process group, so a Ctrl-C at the terminal reaches only this driver, which
        # then ends the emulator itself.
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=open(os.path.join(self.work, "qemu.err"), "wb"),
                                     start_new_session=True)
        threading.Thread(target=self._read_serial, daemon=True).start()
        # The socket's file appears a moment before qemu listens on it.
        deadline = time.monotonic() + 15
        self.qmp = socket.socket(socket.AF_UNIX)
        while True:
            try:
                self.qmp.connect(qmp_path)
                break
            except (FileNotFoundError, ConnectionRefusedError):
                if self.proc.poll() is not None or time.monotonic() > deadline:
                    raise RigError("qemu did not start: " + self._qemu_err())
                time.sleep(0.02)
        self._qmp_read()  # greeting
        self._qmp("qmp_capabilities")
        if self._expect("@", 60) != "@ready":
            raise RigError("the guest could not mount the card")
        self.boot_seconds = time.monotonic() - self.boot_started
        self.clocks = self._clocks()

    def _clocks(self):
        """The guest's uptime and the host's monotonic clock, read together."""
        path = os.path.join(self.share, ".uptime")
        self.shell("cat /proc/uptime >%s/.uptime" % SHARE)
        host = time.monotonic()
        with open(path) as f:
            return float(f.read().split()[0]), host

    def clock_lost(self):
        """How far the guest's clocks have fallen behind the host's since boot. The emulated
        core's 32-bit counter wraps every 25.8 s, and an emulator held up that long (a starved
        host) comes back a whole wrap behind: a 30 s stop lost 25.8 s. Then no time of the
        guest's can be judged against the host's."""
        (guest0, host0), (guest1, host1) = self.clocks, self._clocks()
        return (host1 - host0) - (guest1 - guest0)

    def close(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        if self.qmp:
            self.qmp.close()
        shutil.rmtree(self.work, ignore_errors=True)

    def _qemu_err(self):
        try:
            with open(os.path.join(self.work, "qemu.err")) as f:
                return f.read().strip()
        except OSError:
            return ""

    # --- the serial line ----------------------------------------------------------------

    def _read_serial(self):
        for raw in self.proc.stdout:
            line = raw.decode(errors="replace").rstrip("\r\n")
            self.serial_log.append(line)
            self.lines.put(line)
        self.lines.put(None)

    def _expect(self, prefix, timeout):
        """The next line from the guest that starts with prefix (other lines are kernel or
        status lines; status lines are filed under their program)."""
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            try:
                line = self.lines.get(timeout=max(left, 0.001))
            except queue.Empty:
                raise RigError("guest said no %r within %d s; serial:\n%s" % (
                    prefix, timeout, "\n".join(self.serial_log[-20:])))
            if line is None:
                raise RigError("the emulator ended: %s\nserial:\n%s" % (
                    self._qemu_err(), "\n".join(self.serial_log[-20:])))
            if line.startswith(prefix):
                return line
            self._file(line)

    def _file(self, line):
        parts = line.split()
        if len(parts) == 3 and parts[0][1:] in self.started and parts[1] == "exit":
            self.started[parts[0][1:]].status = int(parts[2])

    def _collect(self):
        while True:
            try:
                line = self.lines.get_nowait()
            except queue.Empty:
                return
            if line is None:
                raise RigError("the emulator ended: " + self._qemu_err())
            self._file(line)

    def _send(self, verb, command):
        self.next_id += 1
        ident = "c%d" % self.next_id
        self.proc.stdin.write(("%s %s %s\n" % (ident, verb, command)).encode())
        self.proc.stdin.flush()
        return ident

    def shell(self, command, timeout=30):
        """Runs a shell command in the guest and returns its status."""
        ident = self._send("sh", command)
        return int(self._expect("@%s done" % ident, timeout).split()[2])

    # --- programs -----------------------------------------------------------------------

    def folder(self, name):
        """A fresh folder in the share: (host path, guest path)."""
        path = os.path.join(self.share, name)
        os.makedirs(path, exist_ok=True)
        return path, SHARE + "/" + name

    def card_read(self, rel):
        """A file on the card as the running guest sees it (bytes), or None when it is not
        there. Copied through the share, since the card is the guest's while it runs."""
        peek = os.path.join(self.share, ".card-peek")
        if self.shell("cp %s %s/.card-peek" % (shlex.quote("%s/%s" % (CARD, rel)), SHARE)):
            return None
        with open(peek, "rb") as f:
            data = f.read()
        os.remove(peek)
        return data

    def card_write(self, rel, data):
        """Puts a file on the card through the share, synced."""
        drop = os.path.join(self.share, ".card-drop")
        with open(drop, "wb") as f:
            f.write(data)
        path = shlex.quote("%s/%s" % (CARD, rel))
        if self.shell("mkdir -p $(dirname %s) && cp %s/.card-drop %s && sync" % (
                path, SHARE, path)):
            raise RigError("could not write %s on the card" % rel)
        os.remove(drop)

    def in_namespace(self, program, command, timeout=30):
        """Runs a shell command in the program's mount namespace; returns its status."""
        return self.shell("nsenter -t %d -m sh -c %s" % (program.pid, shlex.quote(command)),
                          timeout)

    def inside(self, path):
        """The guest's path of a host path in the share."""
        rel = os.path.relpath(path, self.share)
        if rel.startswith(".."):
            raise RigError(path + " is not in the share")
        return SHARE + "/" + rel

    def start(self, program, name=None, home=None, jz=None, env=(), old_kernel=True,
              clock_calls=False):
        """Starts /bin/PROGRAM in the guest with its standard output in the share (a file, as
        the launcher's log would be). home is a folder on the card (relative to its root,
        made if missing): HOME. jz is a host folder inside the share, shown as /proc/jz in a
        private mount namespace. old_kernel: as under the device's kernel (oldkernel.c).
        clock_calls: under it, every clock is read through a system call, as there, and so
        refused what that kernel lacked (oldkernel's -c; each read then costs a round trip to
        its supervisor for clock_gettime64, so it is not the default)."""
        name = name or program
        host, guest = self.folder("run-" + name)
        words = ["env"] + list(env)
        prepare = ""
        if home is not None:
            words.append("HOME=%s/%s" % (CARD, home))
            # Synced, as a folder the user made long ago would be.
            prepare = "mkdir -p %s && sync && " % shlex.quote("%s/%s" % (CARD, home))
        command = " ".join(shlex.quote(w) for w in words)
        target = "/bin/" + program
        proc = "/proc"
        if jz is not None:
            proc = "/tmp/realproc"
        if old_kernel:
            target = "/bin/oldkernel %s-p %s -l %s/refused %s" % (
                "-c " if clock_calls else "", proc, guest, target)
        if jz is not None:
            # The tmpfs hides the guest's /proc in the program's namespace (oldkernel keeps
            # the real one elsewhere); the program stays this pid through unshare's, the
            # shell's and oldkernel's exec.
            inner = ("mkdir -p %s && mount --bind /proc %s && mount -t tmpfs none /proc && "
                     "mkdir /proc/jz && mount --bind %s /proc/jz && exec %s" % (
                         proc, proc, shlex.quote(self.inside(jz)), target))
            command += " unshare -m sh -c " + shlex.quote(inner)
        else:
            command += " " + target
        command += " </dev/null >%s/out 2>%s/err" % (guest, guest)
        p = Program(self, name, host)
        ident = self._send("start", "cd / && " + prepare + "exec " + command)
        self.started[ident] = p
        p.pid = int(self._expect("@%s pid" % ident, 30).split()[2])
        return p

    # --- keys and screen ----------------------------------------------------------------

    def _qmp_read(self):
        while b"\n" not in self.qmp_buffer:
            chunk = self.qmp.recv(65536)
            if not chunk:
                raise RigError("QMP closed: " + self._qemu_err())
            self.qmp_buffer += chunk
        line, self.qmp_buffer = self.qmp_buffer.split(b"\n", 1)
        return json.loads(line)

    def _qmp(self, command, **arguments):
        msg = {"execute": command}
        if arguments:
            msg["arguments"] = arguments
        self.qmp.sendall(json.dumps(msg).encode() + b"\n")
        while True:
            reply = self._qmp_read()
            if "return" in reply:
                return reply["return"]
            if "error" in reply:
                raise RigError("QMP %s: %s" % (command, reply["error"]))

    def _key(self, button, down):
        self._qmp("input-send-event", events=[{
            "type": "key",
            "data": {"down": down, "key": {"type": "qcode", "data": KEYS[button]}}}])

    def key_down(self, button):
        self._key(button, True)

    def key_up(self, button):
        self._key(button, False)

    def press(self, button, hold=0.15):
        """A button pressed, held for hold seconds, and released."""
        self.key_down(button)
        time.sleep(hold)
        self.key_up(button)

    def capture(self):
        self.captures += 1
        path = os.path.join(self.work, "capture.ppm")
        self._qmp("screendump", filename=path)
        with open(path, "rb") as f:
            return parse_ppm(f.read())

    def wait_screen(self, check, timeout):
        """Captures until check(screen) holds; returns the last capture and whether it held."""
        deadline = time.monotonic() + timeout
        while True:
            s = self.capture()
            if check(s):
                return s, True
            if time.monotonic() > deadline:
                return s, False
            time.sleep(0.02)


def wait_for(check, timeout, step=0.05):
    deadline = time.monotonic() + timeout
    while not check():
        if time.monotonic() > deadline:
            return False
        time.sleep(step)
    return True


def by_minute(log):
    """A log's bytes with each sample's seconds cut to its whole minute: a sample is taken
    at the first chance from its minute on, a second or so late on a busy host, and its line
    carries that true second."""
    return log and re.sub(rb"(?m)^\d+", lambda m: b"%d" % (int(m.group()) // 60 * 60), log)


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode(errors="replace")
    except FileNotFoundError:
        return None


class Checks:
    """Collects failed checks, so one run reports everything it saw wrong; each failure says
    what was expected where and what the screen or file held instead."""

    def __init__(self, title):
        self.title = title
        self.failures = []
        self.started = time.monotonic()

    def check(self, ok, what, seen=""):
        if not ok:
            self.failures.append(what + (": " + seen if seen else ""))
            print("FAIL  " + self.failures[-1], flush=True)
        return ok

    def region(self, screen, name, region, colour, at_least, tolerance=10):
        """At least at_least pixels of region near colour; names both on failure."""
        n = screen.count(region, colour, tolerance)
        return self.check(n >= at_least, "%s: %s should hold %d+ pixels near %s" % (
            name, region, at_least, colour), "%d; there: %s" % (n, screen.colours(region)))

    def no_colour(self, screen, name, region, colour, tolerance=10):
        n = screen.count(region, colour, tolerance)
        return self.check(n == 0, "%s: %s should hold nothing near %s" % (
            name, region, colour), "%d pixels" % n)

    def equal(self, seen, expected, what):
        return self.check(seen == expected, "%s: expected %r" % (what, expected), repr(seen))

    def finish(self):
        took = time.monotonic() - self.started
        if self.failures:
            print("%s: %d check(s) failed in %.0f s" % (self.title, len(self.failures), took))
            sys.exit(1)
        print("%s: passed in %.0f s" % (self.title, took))
