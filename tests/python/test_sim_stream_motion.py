"""fanuc-rmi-sim's Stream Motion from the outside: its options and console,
through a client written here from the packet layouts (struct, big-endian)
and raw RMI lines, with nothing of the simulator's or the driver's code."""

import json
import socket
import struct
import subprocess

import pytest

from conftest import DEADLINE, SIMULATOR, Simulator, wait_until

STATUS_V3, STATUS_V4 = 202, 204


class Rmi:
    """FRC_Connect, the data connection, one command or instruction at a time."""

    def __init__(self, address):
        with socket.create_connection((address, 16001), timeout=DEADLINE) as control:
            control.sendall(b'{"Communication":"FRC_Connect"}\r\n')
            answer = json.loads(control.makefile().readline())
        self.data = socket.create_connection((address, answer["PortNumber"]), timeout=DEADLINE)
        self.lines = self.data.makefile()

    def send(self, packet):
        self.data.sendall(json.dumps(packet).encode() + b"\r\n")

    def command(self, name, **members):
        self.send({"Command": name, **members})
        while True:
            answer = json.loads(self.lines.readline())
            if answer.get("Command") == name:
                return answer

    def close(self):
        self.data.close()


class Udp:
    def __init__(self, address):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.settimeout(DEADLINE)
        self.sock.connect((address, 60015))

    def send(self, data):
        self.sock.send(data)

    def receive(self):
        return self.sock.recv(65536)

    def status(self):
        """The next status: (sequence, status bits, robot status bits, joints)."""
        while True:
            data = self.receive()
            kind, _ = struct.unpack_from(">II", data)
            if kind in (STATUS_V3, STATUS_V4):
                assert len(data) == (388 if kind == STATUS_V3 else 416)
                sequence, bits, robot = struct.unpack_from(">IBB", data, 8)
                return sequence, bits, robot, list(struct.unpack_from(">9f", data, 56))

    def close(self):
        self.sock.close()


def command(version, sequence, joints, motion=1, last=0):
    return struct.pack(">IIIBBH9d", 201, version, sequence, last, motion, 0xFFFF, *joints) + bytes(256)


@pytest.fixture
def session(request):
    """A simulator started with the test's options, RMI initialised and STREAM_MOTN called."""
    sim = Simulator("--stream-motion-ready-delay", "0", *request.param)
    rmi = Rmi(sim.address)
    assert rmi.command("FRC_Initialize")["ErrorID"] == 0
    rmi.send({"Instruction": "FRC_Call", "ProgramName": "STREAM_MOTN", "SequenceID": 1})
    assert wait_until(lambda: sim.status()["queued"] == 1)  # called before the session starts
    udp = Udp(sim.address)
    yield sim, rmi, udp
    udp.close()
    rmi.close()
    sim.stop()


def start(udp):
    """Capability (its version adopted), then Start; returns (version, period)."""
    udp.send(struct.pack(">7I", 7, 3, 1, 0, 0, 0, 0))
    _, _, _, period, _, version, _ = struct.unpack(">7I", udp.receive())
    udp.send(struct.pack(">II", 200, version))
    return version, period


def until(udp, predicate, answer=None):
    """Reads statuses (answering each with `answer(status)` if given) until one satisfies `predicate`."""
    for _ in range(5000):
        status = udp.status()
        if predicate(status):
            return status
        if answer:
            udp.send(answer(status))
    raise AssertionError("no such status")


def test_help_names_the_stream_motion_options():
    text = subprocess.run([str(SIMULATOR), "--help"], capture_output=True, text=True, check=True).stdout
    for option in ("--stream-motion-port", "--stream-motion-version", "--stream-motion-period-ms", "--sm-fault",
                   "sm-fault KIND [SEQ]", "sm-status"):
        assert option in text


@pytest.mark.parametrize(
    "session", [("--stream-motion-version", "4", "--stream-motion-period-ms", "4", "--sm-fault", "jerk")],
    indirect=True)
def test_a_fault_from_the_command_line_stops_the_first_motion_command(session):
    sim, rmi, udp = session
    version, period = start(udp)
    assert (version, period) == (4, 4)
    ready = until(udp, lambda s: s[1] & 1, lambda s: command(version, s[0], s[3], motion=0))
    udp.send(command(version, ready[0], ready[3]))  # the first motion command: the arm where it is
    faulted = until(udp, lambda s: s[2] & 1)
    assert not faulted[1] & 1
    assert rmi.command("FRC_ReadError")["ErrorData"].startswith("MOTN-722")
    assert "in_error=1" in sim.console("sm-status", "live=").split()


@pytest.mark.parametrize("session", [()], indirect=True)
def test_console_faults_reach_a_live_session(session):
    sim, rmi, udp = session
    version, _ = start(udp)
    until(udp, lambda s: s[1] & 1)
    # A sequence number no status can have is refused, not wrapped into one.
    for number in ("-1", "4294967296", "12x"):
        sim.console(f"sm-fault lose {number}", refused=True)
    sim.console("sm-fault foreign-start")
    until(udp, lambda s: s[2] & 1)
    assert rmi.command("FRC_ReadError")["ErrorData"] == "HOST-380 System error 0x30,0x0"
    assert "live=1" in sim.console("sm-status", "live=").split()
    udp.send(struct.pack(">II", 2, version))
    assert wait_until(lambda: "live=0" in sim.console("sm-status", "live=").split())
