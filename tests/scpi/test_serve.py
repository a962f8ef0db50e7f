#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""zerak-cli serve in front of zerak-sim, driven by the clients a lab uses:
PyVISA, pymeasure and plain sockets, on loopback only. Every wait is for a
condition (a line on stderr, a reply), bounded by WAIT seconds.

    ZERAK_CLI=build/zerak-cli ZERAK_SIM=build/zerak-sim /usr/bin/python3 tests/scpi/test_serve.py [Class]
"""

import atexit
import os
import re
import select
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest

CLI = os.environ.get("ZERAK_CLI", "build/zerak-cli")
SIM = os.environ.get("ZERAK_SIM", "build/zerak-sim")
VERSION = os.environ.get("ZERAK_VERSION", "1.0")
WAIT = 15.0  # seconds: no wait here lasts longer


class Process:
    """A child process whose output lines can be waited for."""

    def __init__(self, args, env=None):
        self.args = args
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     text=True, bufsize=1, env=env)
        self.lines = {"out": [], "err": []}
        self.changed = threading.Condition()
        self.readers = [threading.Thread(target=self._read, args=(stream, name), daemon=True)
                        for stream, name in ((self.proc.stdout, "out"), (self.proc.stderr, "err"))]
        for reader in self.readers:
            reader.start()
        # Whatever fails, no simulator or server outlives the tests.
        atexit.register(self.kill)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(WAIT)

    def _read(self, stream, name):
        for line in stream:
            with self.changed:
                self.lines[name].append(line.rstrip("\n"))
                self.changed.notify_all()
        with self.changed:
            self.changed.notify_all()

    def wait_for(self, pattern, stream="err", count=1):
        """The count-th line matching pattern, once it has come."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + WAIT
        with self.changed:
            while True:
                found = [m for m in map(regex.search, self.lines[stream]) if m]
                if len(found) >= count:
                    return found[count - 1] if count else None
                left = deadline - time.monotonic()
                if left <= 0 or (self.proc.poll() is not None and not any(r.is_alive() for r in self.readers)):
                    raise AssertionError("%s: no line /%s/ (x%d) in %s %s" % (
                        os.path.basename(self.args[0]), pattern, count, stream, self.lines[stream]))
                self.changed.wait(min(left, 0.5))

    def count(self, pattern, stream="err"):
        regex = re.compile(pattern)
        with self.changed:
            return sum(1 for line in self.lines[stream] if regex.search(line))

    def stop(self, sig=signal.SIGTERM):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        return self.wait()

    def wait(self):
        """The exit code, once it has ended by itself."""
        code = self.proc.wait(WAIT)
        for reader in self.readers:
            reader.join(WAIT)
        self.proc.stdout.close()
        self.proc.stderr.close()
        return code


class Simulator(Process):
    def __init__(self, *options):
        super().__init__([SIM, "--noise", "0", *options])
        self.path = self.wait_for(r"^/\S+$", stream="out").group(0)


class Serve(Process):
    def __init__(self, port, *options, env=None):
        # Short line times, as every test of the meter uses.
        super().__init__([CLI, "--port", port, "--timeout", "300", "--gap", "10", "serve",
                          "--listen", "127.0.0.1:0", *options], env)
        self.port = int(self.wait_for(r"serving the meter on \S+ at 127\.0\.0\.1:(\d+)").group(1))

    def wait_until_no_clients(self):
        """Every client that got in has been seen to go."""
        self.wait_for(r"client \d+ \(\S+\) disconnected$", count=self.count(r"client \d+ \(\S+\) connected$"))


class Client:
    """A plain socket client, as a script with no VISA library writes one."""

    def __init__(self, port, receive_buffer=None):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        if receive_buffer:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
        self.sock.settimeout(WAIT)
        self.sock.connect(("127.0.0.1", port))
        self.pending = b""

    def send(self, data):
        self.sock.sendall(data if isinstance(data, bytes) else data.encode())

    def line(self):
        while b"\n" not in self.pending:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError("closed by the server")
            self.pending += chunk
        line, self.pending = self.pending.split(b"\n", 1)
        return line.decode()

    def ask(self, query):
        self.send(query + "\n")
        return self.line()

    def closed_by_server(self):
        """True once the server has closed the connection (bounded wait)."""
        try:
            return self.sock.recv(65536) == b""
        except ConnectionResetError:
            return True

    def close(self):
        self.sock.close()


def nr3(value):
    return "%+.8E" % value


def zerak_meter():
    """The meter as a pymeasure instrument, as README shows it. pymeasure
    takes long to import: only the tests that use it do."""
    from pymeasure.instruments import Instrument

    class ZerakMeter(Instrument):
        """The meter as a pymeasure instrument: what README shows."""

        power = Instrument.measurement("MEAS:POW?", "A new reading, in the unit set (dBm by default).")
        wavelength = Instrument.control("SENS:POW:WAV? NM", "SENS:POW:WAV %dNM",
                                        "The meter's wavelength in nm.", check_set_errors=True)

        def __init__(self, resource, **kwargs):
            super().__init__(resource, "Zerak optical power meter", visa_library="@py",
                             read_termination="\n", write_termination="\n", timeout=5000, **kwargs)

        def check_errors(self):
            """Reads the error queue until it is empty; returns what it held."""
            errors = []
            for _ in range(21):  # the queue holds 20 at most
                code, text = self.ask("SYST:ERR?").split(",", 1)
                if int(code) == 0:
                    break
                errors.append((int(code), text.strip('"')))
            return errors

    return ZerakMeter


class PyVisaTest(unittest.TestCase):
    """What a lab script does first, through PyVISA and pymeasure."""

    @classmethod
    def setUpClass(cls):
        cls.sim = Simulator("--delay", "5", "--power", "-15.00", "--power", "1550:-12.34")
        cls.addClassCleanup(cls.sim.stop)
        cls.serve = Serve(cls.sim.path)
        cls.addClassCleanup(cls.serve.kill)
        cls.resource = "TCPIP::127.0.0.1::%d::SOCKET" % cls.serve.port

    @classmethod
    def tearDownClass(cls):
        assert cls.serve.stop() == 0, "serve did not end with 0 on SIGTERM"

    def open(self):
        import pyvisa
        manager = pyvisa.ResourceManager("@py")
        inst = manager.open_resource(self.resource, read_termination="\n", write_termination="\n",
                                     timeout=5000)
        self.addCleanup(manager.close)
        self.addCleanup(inst.close)
        return inst

    def test_identity_wavelength_and_ten_readings(self):
        inst = self.open()
        self.assertEqual(inst.query("*IDN?"), "Zerak,OPM,0," + VERSION)
        inst.write("SENS:POW:WAV 1550")
        self.assertEqual(inst.query("SENS:POW:WAV?"), "+1.55000000E-06")
        self.assertEqual(inst.query("SENS:POW:WAV? NM"), "+1.55000000E+03")
        readings = [inst.query("MEAS:POW?") for _ in range(10)]
        self.assertEqual(readings, ["-1.23400000E+01"] * 10)
        self.assertEqual(inst.query_ascii_values("SYST:ERR?", converter="s"), ["0", '"No error"'])
        inst.write("SENS:POW:WAV 1310NM")
        self.assertAlmostEqual(float(inst.query("MEAS:POW?")), -15.0)

    def test_wrong_header_leaves_113(self):
        inst = self.open()
        inst.write("SENS:POW:WAVX 1550")
        self.assertEqual(inst.query("SYST:ERR?"), '-113,"Undefined header"')
        self.assertEqual(inst.query("SYST:ERR?"), '0,"No error"')

    def test_pymeasure_reads_the_queue_empty(self):
        meter = zerak_meter()(self.resource)
        self.addCleanup(meter.adapter.connection.close)
        self.assertEqual(meter.id, "Zerak,OPM,0," + VERSION)
        self.assertEqual(meter.check_errors(), [])
        meter.wavelength = 1550  # checks errors itself: none
        self.assertEqual(meter.wavelength, 1550)
        self.assertAlmostEqual(meter.power, -12.34)
        meter.write("SENS:POW:WAV 1600")
        self.assertEqual(meter.check_errors(), [(-222, "Data out of range")])
        self.assertEqual(meter.check_errors(), [])


class SharingTest(unittest.TestCase):
    """Many clients on one meter answering at once."""

    @classmethod
    def setUpClass(cls):
        cls.sim = Simulator("--delay", "0", "--power", "-15.00")
        cls.addClassCleanup(cls.sim.stop)
        cls.serve = Serve(cls.sim.path)
        cls.addClassCleanup(cls.serve.kill)

    @classmethod
    def tearDownClass(cls):
        assert cls.serve.stop() == 0, "serve did not end with 0 on SIGTERM"

    def test_eight_clients_a_thousand_queries_each(self):
        # Each client's own reference makes its readings its own: a reply
        # that went to the wrong client shows.
        failures = []

        def run(k):
            try:
                client = Client(self.serve.port)
                client.send("SENS:POW:REF %d;REF:STAT ON\n*ESE %d\n" % (-k, k))
                expected = {"MEAS:POW?": nr3(k - 15), "READ:POW?": nr3(k - 15), "FETC:POW?": nr3(k - 15),
                            "*ESE?": str(k), "SENS:POW:REF?": nr3(-k)}
                queries = list(expected)
                for i in range(1000):
                    query = queries[i % len(queries)]
                    reply = client.ask(query)
                    if reply != expected[query]:
                        failures.append("client %d, query %d, %s: %r" % (k, i, query, reply))
                        return
                reply = client.ask("SYST:ERR:ALL?")
                if reply != '0,"No error"':
                    failures.append("client %d: errors %s" % (k, reply))
                client.close()
            except Exception as error:  # reported below, on the test's thread
                failures.append("client %d: %r" % (k, error))

        threads = [threading.Thread(target=run, args=(k,)) for k in range(1, 9)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(WAIT * 4)
        self.assertEqual(failures, [])
        self.assertFalse(any(thread.is_alive() for thread in threads))

    def test_a_flood_of_connections(self):
        steady = Client(self.serve.port)
        self.addCleanup(steady.close)
        refused_before = self.serve.count("refused a client")
        for round_ in range(20):
            batch = []
            for _ in range(12):  # more than --max-clients at once, with steady
                batch.append(socket.create_connection(("127.0.0.1", self.serve.port), timeout=WAIT))
            for sock in batch:
                sock.close()
            self.assertEqual(steady.ask("*IDN?"), "Zerak,OPM,0," + VERSION)
        self.assertEqual(steady.ask("MEAS:POW?"), nr3(-15))
        self.serve.wait_for("refused a client from 127\\.0\\.0\\.1:\\d+: 8 clients already", count=refused_before + 1)
        # Every one that got in is gone again: a new client gets in.
        steady.close()
        self.serve.wait_until_no_clients()
        late = Client(self.serve.port)
        self.assertEqual(late.ask("SYST:ERR?"), '0,"No error"')
        late.close()

    def test_line_limit(self):
        client = Client(self.serve.port)
        self.addCleanup(client.close)
        longest = "*IDN?" + " " * (4096 - 5)
        self.assertEqual(client.ask(longest), "Zerak,OPM,0," + VERSION)
        client.send("*RST" + " " * 4093 + "\n")  # 4097 bytes: dropped whole
        client.send("SENS:POW:UNIT W\n" + "X" * 100000 + "\n")
        self.assertEqual(client.ask("SENS:POW:UNIT?;:SYST:ERR:ALL?"),
                         'W;-363,"Input buffer overrun",-363,"Input buffer overrun"')

    def test_unread_replies_cut_off(self):
        other = Client(self.serve.port)
        self.addCleanup(other.close)
        cut_before = self.serve.count("replies unread: cut off")
        greedy = Client(self.serve.port, receive_buffer=4096)
        self.addCleanup(greedy.close)
        burst = b"*IDN?\n" * 10000
        sent = 0
        deadline = time.monotonic() + WAIT
        broken = False
        greedy.sock.setblocking(False)
        while sent < 50 * 1024 * 1024 and time.monotonic() < deadline:
            try:
                select.select([], [greedy.sock], [], 0.5)
                sent += greedy.sock.send(burst)
            except BlockingIOError:
                continue
            except (BrokenPipeError, ConnectionResetError):
                broken = True
                break
        self.assertTrue(broken, "still connected after %d bytes of queries, none of the replies read" % sent)
        self.serve.wait_for(r"client \d+ \(\S+\) left 64 KiB of replies unread: cut off", count=cut_before + 1)
        self.assertEqual(other.ask("*IDN?"), "Zerak,OPM,0," + VERSION)

    def test_unterminated_query(self):
        client = Client(self.serve.port)
        self.addCleanup(client.close)
        stalled_before = self.serve.count("without its newline")
        client.send("*IDN?")
        # --timeout 300: the server waits as long for the rest of a line.
        self.serve.wait_for("without its newline, then nothing for 0.3 s: dropped", count=stalled_before + 1)
        client.send("\n")
        self.assertEqual(client.ask("SYST:ERR?"), '-420,"Query UNTERMINATED"')


class SlowMeterTest(unittest.TestCase):
    """A meter that takes 100 ms: a client that gives up on a query."""

    @classmethod
    def setUpClass(cls):
        cls.sim = Simulator("--delay", "100", "--power", "-15.00")
        cls.addClassCleanup(cls.sim.stop)
        cls.serve = Serve(cls.sim.path, "--max-clients", "2")
        cls.addClassCleanup(cls.serve.kill)

    @classmethod
    def tearDownClass(cls):
        assert cls.serve.stop() == 0, "serve did not end with 0 on SIGTERM"

    def test_disconnect_mid_query(self):
        self.serve.wait_until_no_clients()
        other = Client(self.serve.port)
        self.addCleanup(other.close)
        quitter = Client(self.serve.port)
        quitter.send("MEAS:POW?\n")
        quitter.close()
        self.assertEqual(other.ask("MEAS:POW?;*IDN?"), nr3(-15) + ";Zerak,OPM,0," + VERSION)
        self.serve.wait_for(r"client \d+ \(\S+\) disconnected")
        self.assertEqual(other.ask("SYST:ERR?"), '0,"No error"')

    def test_query_interrupted(self):
        self.serve.wait_until_no_clients()  # at most two
        client = Client(self.serve.port)
        self.addCleanup(client.close)
        client.send("MEAS:POW?\n")
        client.send("*IDN?\n")  # before the reading came: the first is given up
        self.assertEqual(client.line(), "Zerak,OPM,0," + VERSION)
        self.assertEqual(client.ask("SYST:ERR?;:SYST:ERR?"), '-410,"Query INTERRUPTED";0,"No error"')

    def test_more_than_max_clients(self):
        self.serve.wait_until_no_clients()
        first = Client(self.serve.port)
        self.addCleanup(first.close)
        second = Client(self.serve.port)
        self.addCleanup(second.close)
        self.assertEqual(second.ask("*OPC?"), "1")
        third = Client(self.serve.port)
        self.addCleanup(third.close)
        self.assertTrue(third.closed_by_server())
        self.serve.wait_for(r"refused a client from 127\.0\.0\.1:\d+: 2 clients already \(--max-clients\)")
        self.assertEqual(first.ask("*OPC?"), "1")


class ReplugTest(unittest.TestCase):
    """The meter unplugged and plugged in again, under a name that comes and
    goes with it, as udev's /dev/serial/by-id/ links do."""

    def test_unplug_and_replug(self):
        directory = tempfile.TemporaryDirectory()
        self.addCleanup(directory.cleanup)
        link = os.path.join(directory.name, "usb-meter")
        first = Simulator("--delay", "0", "--power", "-15.00", "--hang-up-after", "6")
        self.addCleanup(first.kill)
        os.symlink(first.path, link)
        serve = Serve(link)
        self.addCleanup(serve.stop)
        client = Client(serve.port)
        self.addCleanup(client.close)
        # *OPC? answers whatever MEAS:POW? does: "1" alone once it fails.
        for _ in range(10):
            reply = client.ask("MEAS:POW?;*OPC?")
            if reply == "1":
                break
            self.assertEqual(reply, nr3(-15) + ";1")
        self.assertEqual(reply, "1")
        self.assertEqual(first.stop(), 0)
        os.unlink(link)
        serve.wait_for("the meter is gone from %s \\(unplugged or switched off\\): queries answer -241" % re.escape(link))
        self.assertEqual(client.ask("SYST:ERR:ALL?"), '-241,"Hardware missing"')
        self.assertEqual(client.ask("FETC:POW?;*OPC?"), "1")
        self.assertEqual(client.ask("SYST:ERR?"), '-241,"Hardware missing"')

        second = Simulator("--delay", "0", "--power", "-7.50")
        self.addCleanup(second.stop)
        os.symlink(second.path, link)
        serve.wait_for("the meter is back on %s$" % re.escape(link))
        self.assertEqual(client.ask("MEAS:POW?"), nr3(-7.5))
        self.assertEqual(client.ask("SYST:ERR?"), '0,"No error"')
        self.assertEqual(serve.stop(), 0)


class EndingTest(unittest.TestCase):
    """How serve starts and ends, and what it refuses."""

    def test_continuous_readings_for_fetch(self):
        sim = Simulator("--delay", "0", "--power", "-15.00")
        self.addCleanup(sim.stop)
        serve = Serve(sim.path)
        self.addCleanup(serve.stop)
        client = Client(serve.port)
        self.addCleanup(client.close)
        # Nothing measured yet: no reading to fetch.
        self.assertEqual(client.ask("FETC:POW?;*OPC?"), "1")
        self.assertEqual(client.ask("SYST:ERR?"), '-230,"Data corrupt or stale"')
        client.send("INIT:CONT ON\n")
        for _ in range(1000):
            reply = client.ask("FETC:POW?;*OPC?")
            if reply != "1":
                break
        self.assertEqual(reply, nr3(-15) + ";1")
        self.assertEqual(client.ask("INIT:CONT?;:INIT:CONT OFF;CONT?"), "1;0")

    def test_numbers_under_a_decimal_comma_locale(self):
        # Qt takes the user's locale for the C library too: a German user's
        # printf writes -1,50000000E+01, which no SCPI client reads.
        locales = tempfile.TemporaryDirectory()
        self.addCleanup(locales.cleanup)
        subprocess.run(["localedef", "-i", "de_DE", "-f", "UTF-8", "-c",
                        os.path.join(locales.name, "de_DE.UTF-8")], check=True)
        env = dict(os.environ, LOCPATH=locales.name, LC_ALL="de_DE.UTF-8")
        sim = Simulator("--delay", "0", "--power", "-7.25")
        self.addCleanup(sim.stop)
        serve = Serve(sim.path, env=env)
        self.addCleanup(serve.stop)
        client = Client(serve.port)
        self.addCleanup(client.close)
        self.assertEqual(client.ask("MEAS:POW?;:SENS:POW:WAV?"), "-7.25000000E+00;+8.50000000E-07")
        self.assertEqual(client.ask("SENS:POW:REF 2.5;REF?"), "+2.50000000E+00")

    def test_signals_end_it_with_0(self):
        sim = Simulator("--delay", "0")
        self.addCleanup(sim.stop)
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            serve = Serve(sim.path)
            self.addCleanup(serve.kill)
            client = Client(serve.port)
            self.assertEqual(client.ask("*OPC?"), "1")
            self.assertEqual(serve.stop(sig), 0, "after %s" % sig.name)
            self.assertTrue(client.closed_by_server())
            client.close()

    def test_another_address_is_warned_about(self):
        sim = Simulator("--delay", "0")
        self.addCleanup(sim.stop)
        # TEST-NET: no machine has it, so nothing listens anywhere.
        serve = Process([CLI, "--port", sim.path, "serve", "--listen", "192.0.2.1:5025"])
        self.addCleanup(serve.kill)
        self.assertEqual(serve.wait(), 14)
        serve.wait_for(r"^zerak-cli: warning: listening on 192\.0\.2\.1:5025: anyone who can reach this address "
                       r"can drive the meter$")
        serve.wait_for(r"^zerak-cli: cannot listen on 192\.0\.2\.1:5025 \(--listen\): ")

    def test_bad_listen_address(self):
        for value in ("5025", "127.0.0.1", "::1:5025", "127.0.0.1:70000", "nowhere:5025"):
            serve = Process([CLI, "--port", "/dev/null", "serve", "--listen", value])
            self.assertEqual(serve.wait(), 2, value)
            serve.wait_for(r"^zerak-cli: bad value '%s' for --listen: expected an address and a TCP port"
                           % re.escape(value))


if __name__ == "__main__":
    unittest.main(verbosity=2)
