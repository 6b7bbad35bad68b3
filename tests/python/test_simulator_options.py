"""fanuc-rmi-sim's command line and console, seen through a bare RMI client
(not the driver): what they set is what a client reads."""

import json
import socket
import subprocess

import pytest

from conftest import DEADLINE, SIMULATOR, Simulator


class RmiLink:
    """FRC_Connect on the control port, then commands on the data port."""

    def __init__(self, address):
        with socket.create_connection((address, 16001), timeout=DEADLINE) as control:
            control.sendall(b'{"Communication":"FRC_Connect"}\r\n')
            answer = json.loads(self._line(control))
        assert answer["ErrorID"] == 0, answer
        self.data = socket.create_connection((address, answer["PortNumber"]), timeout=DEADLINE)
        self.pending = b""

    @staticmethod
    def _line(sock):
        pending = b""
        while b"\r\n" not in pending:
            chunk = sock.recv(4096)
            assert chunk, "the controller closed the connection"
            pending += chunk
        return pending.split(b"\r\n", 1)[0].decode()

    def command(self, packet):
        self.data.sendall(json.dumps(packet).encode() + b"\r\n")
        while b"\r\n" not in self.pending:
            chunk = self.data.recv(4096)
            assert chunk, "the controller closed the connection"
            self.pending += chunk
        line, self.pending = self.pending.split(b"\r\n", 1)
        return json.loads(line)

    def close(self):
        self.data.close()


@pytest.fixture
def started():
    """Starts simulators with options; stops each at the end."""
    if not SIMULATOR.exists():
        pytest.fail(f"{SIMULATOR} is missing: build the project (scripts/setup) or set ORVANE_BUILD_DIR")
    running = []

    def start(*options):
        running.append(Simulator(*options))
        return running[-1]

    yield start
    for sim in running:
        sim.stop()


def read_variable(link, name):
    return link.command({"Command": "FRC_ReadVariable", "VariableName": name})


def test_system_variables_come_from_the_command_line_and_the_console(started):
    sim = started("--variable", "$STMO.$COM_INT=4", "--variable", "$CELL.$GAIN=0.5", "--variable", "$CELL.$COUNT=3")
    link = RmiLink(sim.address)
    try:
        period = read_variable(link, "$STMO.$COM_INT")
        assert (period["ErrorID"], period["VariableType"], period["VariableValue"]) == (0, "Integer", 4)
        gain = read_variable(link, "$CELL.$GAIN")
        assert (gain["VariableType"], gain["VariableValue"]) == ("Float", 0.5)
        assert read_variable(link, "$CELL.$COUNT")["VariableType"] == "Integer"
        assert read_variable(link, "$RMI_CFG.$ASBN_ENB")["VariableValue"] == 0

        sim.console("variable $RMI_CFG.$ASBN_ENB 1")
        assert read_variable(link, "$RMI_CFG.$ASBN_ENB")["VariableValue"] == 1
        sim.console("variable $MCR.$GENOVERRIDE 40")
        assert link.command({"Command": "FRC_GetStatus"})["Override"] == 40
        # A refused setting is reported on the console and changes nothing.
        sim.console("variable $STMO.$COM_INT 2.5", refused=True)
        assert read_variable(link, "$STMO.$COM_INT")["VariableValue"] == 4
    finally:
        link.close()


@pytest.mark.parametrize("option", ["$STMO.$COM_INT", "NO_DOLLAR=1", "$STMO.$COM_INT=fast", "$STMO.$COM_INT=2.5"])
def test_a_bad_variable_option_stops_the_simulator_with_a_message(option):
    result = subprocess.run([str(SIMULATOR), "--address", "127.0.0.1", "--variable", option],
                            capture_output=True, text=True, timeout=DEADLINE)
    assert result.returncode == 2
    assert "--variable" in result.stderr
