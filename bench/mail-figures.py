#!/usr/bin/python3
# The mail catcher's figures, in one run:
#  - mails caught per second from 8 concurrent SMTP clients, against the
#    same clients talking to a discarding SMTP server (Debian's aiosmtpd
#    with a handler that drops each message);
#  - the catcher's peak memory while 100 clients each send a 10 MiB message,
#    beside 100 clients sending 1 MiB (what it costs does not grow with the
#    message).
#
#   mail-figures.py CATCHER [--quick]
import multiprocessing
import os
import shutil
import signal
import smtplib
import socket
import subprocess
import sys
import tempfile
import time

catcher_program = sys.argv[1]
quick = "--quick" in sys.argv
CLIENTS = 8
PER_CLIENT = 60 if quick else 250

MESSAGE = (
    "From: Shop <shop@app.test>\r\nTo: Ada <ada@example.com>\r\nSubject: Your order\r\n"
    "MIME-Version: 1.0\r\nContent-Type: multipart/alternative; boundary=b\r\n\r\n"
    "--b\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n" + "Thank you for your order.\r\n" * 20 +
    "--b\r\nContent-Type: text/html; charset=utf-8\r\n\r\n<p>" + "Thank you for your order.<br>" * 20 +
    "</p>\r\n--b--\r\n"
)


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def wait_for(port):
    for _ in range(200):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.05)
    raise SystemExit("nothing answers on port %d" % port)


def client(port, count, barrier):
    smtp = smtplib.SMTP("127.0.0.1", port, timeout=60)
    smtp.ehlo("bench")
    barrier.wait()
    for _ in range(count):
        smtp.sendmail("shop@app.test", ["ada@example.com"], MESSAGE)
    smtp.quit()


def run_clients(count, target, *args):
    """`count` processes running target(*args, barrier), let go at once; seconds taken."""
    barrier = multiprocessing.Barrier(count + 1)
    workers = [multiprocessing.Process(target=target, args=args + (barrier,))
               for _ in range(count)]
    for w in workers:
        w.start()
    barrier.wait()
    started = time.perf_counter()
    for w in workers:
        w.join()
        if w.exitcode != 0:
            raise SystemExit("a client failed")
    return time.perf_counter() - started


def rate(port):
    """Mails a second, 8 clients each sending PER_CLIENT mails on one connection."""
    return CLIENTS * PER_CLIENT / run_clients(CLIENTS, client, port, PER_CLIENT)


DISCARDING = """
import asyncio, sys
from aiosmtpd.controller import Controller
class Drop:
    async def handle_DATA(self, server, session, envelope):
        return "250 OK"
c = Controller(Drop(), hostname="127.0.0.1", port=int(sys.argv[1]), data_size_limit=64 << 20)
c.start()
import signal; signal.sigwait([signal.SIGTERM])
c.stop()
"""


def big_client(port, size, barrier):
    body = ("x" * 76 + "\r\n") * (size // 78)
    smtp = smtplib.SMTP("127.0.0.1", port, timeout=300)
    barrier.wait()
    smtp.sendmail("a@app.test", ["b@example.com"], "Subject: big\r\n\r\n" + body)
    smtp.quit()


def peak_memory(size, clients=100):
    """The catcher's peak resident memory (MiB) while `clients` send `size` bytes each."""
    home = tempfile.mkdtemp(prefix="vesk-mail-bench-")
    port = free_port()
    proc = subprocess.Popen([catcher_program, "--port", str(port), "--store", home + "/mail",
                             "--spool", home + "/spool"], stderr=subprocess.DEVNULL)
    try:
        wait_for(port)
        run_clients(clients, big_client, port, size)
        with open("/proc/%d/status" % proc.pid) as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024
    finally:
        proc.terminate()
        proc.wait()
        shutil.rmtree(home, ignore_errors=True)


def main():
    home = tempfile.mkdtemp(prefix="vesk-mail-bench-")
    catcher_port, discard_port = free_port(), free_port()
    catcher = subprocess.Popen([catcher_program, "--port", str(catcher_port), "--store",
                                home + "/mail", "--spool", home + "/spool"],
                               stderr=subprocess.DEVNULL)
    discard = subprocess.Popen(["/usr/bin/python3", "-c", DISCARDING, str(discard_port)])
    try:
        wait_for(catcher_port)
        wait_for(discard_port)
        rate(catcher_port)  # warm-up
        rate(discard_port)
        ours = max(rate(catcher_port), rate(catcher_port))
        theirs = max(rate(discard_port), rate(discard_port))
        kept = len([n for n in os.listdir(home + "/mail") if n.endswith(".json")])
        print("    mail caught from 8 SMTP clients: the catcher %.0f mails/s (each kept: %d on "
              "disk), aiosmtpd discarding them %.0f mails/s: %.2fx" %
              (ours, kept, theirs, ours / theirs))
    finally:
        catcher.terminate()
        discard.send_signal(signal.SIGTERM)
        catcher.wait()
        discard.wait()
        shutil.rmtree(home, ignore_errors=True)
    clients = 20 if quick else 100
    small = peak_memory(1 << 20, clients)
    large = peak_memory(10 << 20, clients)
    print("    the catcher's peak memory while %d clients each send a message: %.1f MiB for "
          "1 MiB messages, %.1f MiB for 10 MiB messages" % (clients, small, large))


if __name__ == "__main__":
    main()
