#!/usr/bin/env python3
"""Runs the installed vorex-icapd the way its systemd unit does and checks
what the service manager would see.

The unit's User, Group, RuntimeDirectory and ReadWritePaths are read from the
installed unit file. The daemon runs in a mount namespace where everything
is read-only but those paths and /tmp is private (ProtectSystem=strict,
PrivateTmp), with no new privileges and no capabilities, under -m with
standard output discarded, and with NOTIFY_SOCKET pointing at a socket this
script reads (checking the sender's pid, as NotifyAccess=main does).

Checked: READY=1 arrives once the port accepts; OPTIONS and RESPMOD are
answered; an infected body is quarantined and mailed through a stand-in
MailCommand; RELOADING=1 then READY=1 around each SIGHUP, which reopens the
log the installed logrotate file rotated and empties a log larger than
MaxLogSize; STOPPING=1 at SIGTERM and exit status 0.

When the installed configuration scans with clamd (ClamdAddress), a private
clamd running as user clamav takes the place of Debian's: it cannot open the
daemon's files, so it only finds the infected body when the daemon passes
descriptors. Otherwise the stand-in scanning daemon scans.

Usage: run_as_unit.py UNIT_FILE STANDIN_SCANNER
"""
import os
import pwd
import random
import re
import shutil
import socket
import struct
import subprocess
import sys
import time

EICAR = b"X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*"


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def unit_settings(path):
    settings = {}
    for line in open(path):
        m = re.match(r"^(\w+)=(.*)$", line.strip())
        if m:
            settings.setdefault(m.group(1), []).append(m.group(2))
    return settings


LOG = "/var/log/vorex-icapd/vorex-icapd.log"


def log_tail():
    try:
        return open(LOG).read()[-3000:]
    except OSError as e:
        return str(e)


def free_port():
    """A free port below the range of outgoing local ports: one from that
    range can go to a parallel test's connect() before the daemon binds it."""
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            outgoing_low = int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        outgoing_low = 32768
    candidates = random.sample(range(10000, outgoing_low), min(200, max(0, outgoing_low - 10000)))
    for port in candidates + [0]:
        s = socket.socket()
        try:
            s.bind(("127.0.0.1", port))
            return s.getsockname()[1]
        except OSError:
            continue
        finally:
            s.close()
    raise RuntimeError("no free port")


def port_accepts(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


class notify_listener:
    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_PASSCRED, 1)
        self.sock.bind(path)
        os.chmod(path, 0o666)
        self.check_text = ""

    def next(self, timeout):
        """The next message and its sender's pid, or (None, None)."""
        self.sock.settimeout(timeout)
        try:
            data, ancillary, _, _ = self.sock.recvmsg(4096, socket.CMSG_SPACE(12))
        except socket.timeout:
            return None, None
        pid = None
        for level, kind, payload in ancillary:
            if level == socket.SOL_SOCKET and kind == socket.SCM_CREDENTIALS:
                pid = struct.unpack("iII", payload[:12])[0]
        return data.decode(), pid

    def expect(self, wanted, daemon, timeout=20):
        message, pid = self.next(timeout)
        if message is None:
            fail("no %s from the daemon within %d s (exit status: %s); log:\n%s\n%s"
                 % (wanted, timeout, daemon.poll(), log_tail(), self.check_text))
        if wanted not in message.split("\n"):
            fail("expected %s, got %r" % (wanted, message))
        if pid != daemon.pid:
            fail("%s came from pid %s, not the main pid %d" % (wanted, pid, daemon))


def start_private_clamd(folder):
    """clamd as user clamav with a one-signature database, on folder/clamd.sock."""
    os.makedirs(folder + "/db")
    with open(folder + "/db/test.ndb", "w") as f:
        f.write("Test.EICAR.NDB:0:*:%s\n" % b"EICAR-STANDARD-ANTIVIRUS-TEST-FILE".hex())
    with open(folder + "/clamd.conf", "w") as f:
        f.write("LocalSocket %s/clamd.sock\nLocalSocketMode 666\nFixStaleSocket yes\n"
                "DatabaseDirectory %s/db\nTemporaryDirectory %s\nForeground yes\n"
                "LogFile %s/clamd.log\nMaxThreads 4\nBytecode no\nUser clamav\n"
                % (folder, folder, folder, folder))
    subprocess.run(["chown", "-R", "clamav:clamav", folder], check=True)
    clamd = subprocess.Popen(["clamd", "-c", folder + "/clamd.conf"],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(300):
        try:
            with socket.socket(socket.AF_UNIX) as s:
                s.settimeout(1)
                s.connect(folder + "/clamd.sock")
                s.sendall(b"zPING\0")
                if s.recv(16) == b"PONG\0":
                    return clamd
        except OSError:
            pass
        time.sleep(0.1)
    clamd.kill()
    fail("private clamd did not start")


def icap(port, request, timeout=10):
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(request)
        reply = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                return reply
            reply += chunk


def respmod(body, name="f"):
    req = b"GET http://files.example/%s HTTP/1.1\r\nHost: files.example\r\n\r\n" % name.encode()
    res = (b"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
           b"Content-Length: %d\r\n\r\n" % len(body))
    head = (b"RESPMOD icap://127.0.0.1/respmod ICAP/1.0\r\nHost: 127.0.0.1\r\n"
            b"Allow: 204\r\nConnection: close\r\n"
            b"Encapsulated: req-hdr=0, res-hdr=%d, res-body=%d\r\n\r\n"
            % (len(req), len(req) + len(res)))
    return head + req + res + b"%x\r\n" % len(body) + body + b"\r\n0\r\n\r\n"


def main():
    unit_path, standin = sys.argv[1], sys.argv[2]
    unit = unit_settings(unit_path)
    user, group = unit["User"][0], unit["Group"][0]
    runtime_dir = "/run/" + unit["RuntimeDirectory"][0]
    writable = " ".join(unit["ReadWritePaths"]).split() + [runtime_dir]
    exec_start = unit["ExecStart"][0].split()
    if unit["Type"][0] != "notify" or unit.get("StandardOutput") != ["null"]:
        fail("the unit is not Type=notify with StandardOutput=null")

    # RuntimeDirectory=, as systemd makes it.
    os.makedirs(runtime_dir, mode=0o750, exist_ok=True)
    shutil.chown(runtime_dir, user, group)

    port = free_port()
    config = os.path.join(runtime_dir, "test.ini")
    scanner_socket = os.path.join(runtime_dir, "scanner.sock")
    notify_path = os.path.join(runtime_dir, "notify.sock")
    log = LOG
    mail = "/var/lib/vorex-icapd/cache/mail.txt"
    installed = open(exec_start[exec_start.index("-f") + 1]).read()
    clamd_folder = "/run/vorex-icapd-test-clamd"
    uses_clamd = re.search(r"^ClamdAddress\s*=", installed, re.M) is not None
    if uses_clamd:
        scanner = start_private_clamd(clamd_folder)
        scanning = "ClamdAddress = local:%s/clamd.sock" % clamd_folder
    else:
        scanner = subprocess.Popen([standin, "--local", scanner_socket],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        scanning = "VorexAddress = local:" + scanner_socket
    installed = re.sub(r"^ClamdAddress\s*=.*$", scanning, installed, flags=re.M)
    if not uses_clamd:
        installed += "\n[TestScanner]\n" + scanning + "\n"
    with open(config, "w") as f:
        f.write(installed + "\n[Test]\nBindPort = %d\nLogLevel = 3\nMaxLogSize = 8k\n"
                "Infected = move\nIncurable = move\nSendMail = yes\n"
                "Hostmaster = admin@vorex.invalid\n"
                "MailCommand = \"/usr/bin/tee %s\"\n" % (port, mail))
    os.chmod(config, 0o644)

    daemon = None
    try:
        if not uses_clamd:
            for _ in range(100):
                if os.path.exists(scanner_socket):
                    break
                time.sleep(0.1)
            os.chmod(scanner_socket, 0o666)
        notify = notify_listener(notify_path)
        checked = subprocess.run([exec_start[0], "--check-only", "-f", config], capture_output=True, text=True)
        notify.check_text = "--check-only: " + checked.stdout + checked.stderr

        binds = " && ".join("mount --bind %s %s" % (p, p) for p in writable)
        command = exec_start[:exec_start.index("-f") + 1] + [config]
        sandbox = ("umask %s && mount -t tmpfs tmpfs /tmp && %s && mount -o bind,remount,ro / && "
                   "exec setpriv --reuid=%s --regid=%s --init-groups --no-new-privs "
                   "--inh-caps=-all --bounding-set=-all env -i NOTIFY_SOCKET=%s %s"
                   % (unit["UMask"][0], binds, user, group, notify_path, " ".join(command)))
        daemon = subprocess.Popen(["unshare", "-m", "--propagation", "private", "sh", "-c", sandbox],
                                  stdout=subprocess.DEVNULL)

        notify.expect("READY=1", daemon)
        if not port_accepts(port):
            fail("READY=1 came before the port accepted connections")

        reply = icap(port, b"OPTIONS icap://127.0.0.1/respmod ICAP/1.0\r\nHost: 127.0.0.1\r\n"
                           b"Connection: close\r\n\r\n")
        if not reply.startswith(b"ICAP/1.0 200") or b"Methods: RESPMOD" not in reply:
            fail("OPTIONS answered %r" % reply[:200])
        reply = icap(port, respmod(b"clean body\n" * 100))
        if not reply.startswith(b"ICAP/1.0 204"):
            fail("clean RESPMOD answered %r" % reply[:200])
        quarantine = "/var/lib/vorex-icapd/quarantine/"
        earlier = set(os.listdir(quarantine))
        if os.path.exists(mail):
            os.unlink(mail)
        # A URL of its own: a mail about the same URL within MailCache is skipped.
        reply = icap(port, respmod(EICAR, "eicar-%d-%d" % (os.getpid(), time.time())))
        if not reply.startswith(b"ICAP/1.0 200") or b"EICAR" not in reply:
            fail("infected RESPMOD answered %r" % reply[:300])
        # The worker writes its access-log line once the reply is out.
        access = ""
        for _ in range(50):
            access = open("/var/log/vorex-icapd/access.log").read()
            if " virus:" in access:
                break
            time.sleep(0.1)
        if " OPTIONS " not in access or " 204 " not in access or " virus:" not in access:
            fail("access log lacks the requests:\n" + access[-2000:])
        quarantined = set(os.listdir(quarantine)) - earlier
        if not quarantined:
            fail("nothing in quarantine:\n" + log_tail())
        owner = os.stat(quarantine + quarantined.pop()).st_uid
        if owner != pwd.getpwnam(user).pw_uid:
            fail("quarantined file not owned by " + user)
        for _ in range(100):
            if os.path.exists(mail) and os.path.getsize(mail) > 0:
                break
            time.sleep(0.1)
        else:
            fail("MailCommand wrote no mail:\n" + log_tail())

        # Rotation by the installed logrotate file; its postrotate reload
        # (systemctl, absent here) is the SIGHUP sent next.
        state = os.path.join(runtime_dir, "logrotate.state")
        rotated = subprocess.run(["logrotate", "-f", "-s", state, "/etc/logrotate.d/vorex-icapd"],
                                 capture_output=True, text=True)
        os.unlink(state)
        if rotated.returncode != 0 or not os.path.exists(log + ".1"):
            fail("logrotate did not rotate the log: " + rotated.stderr)
        daemon.send_signal(1)
        notify.expect("RELOADING=1", daemon)
        notify.expect("READY=1", daemon)
        if not os.path.exists(log) or os.stat(log).st_uid != pwd.getpwnam(user).pw_uid:
            fail("the reload did not reopen the log as " + user)
        rotated_size = os.path.getsize(log + ".1")
        icap(port, respmod(b"x"))
        if os.path.getsize(log + ".1") != rotated_size:
            fail("the daemon still writes to the rotated log")
        # MaxLogSize still empties a log that grew too large.
        with open(log, "a") as f:
            f.write("padding\n" * 2000)
        daemon.send_signal(1)
        notify.expect("RELOADING=1", daemon)
        notify.expect("READY=1", daemon)
        if "padding" in open(log).read():
            fail("a log above MaxLogSize was not emptied at reload")

        daemon.send_signal(15)
        notify.expect("STOPPING=1", daemon)
        status = daemon.wait(timeout=20)
        if status != 0:
            fail("exit status %d after SIGTERM" % status)
        daemon = None
        print("run as the unit (scanner: %s): READY, OPTIONS, RESPMOD, quarantine, mail, reloads and stop"
              " as expected" % ("private clamd, descriptors" if uses_clamd else "stand-in"))
    finally:
        if daemon is not None:
            daemon.kill()
            daemon.wait()
        scanner.terminate()
        scanner.wait()
        shutil.rmtree(clamd_folder, ignore_errors=True)
        for path in (config, scanner_socket, notify_path):
            if os.path.exists(path):
                os.unlink(path)


main()
