"""Connecting as a Python program sees it: the port and connect_timeout
keywords, a refused connection failing at once, a controller that does not
answer failing at the time-out, a server that is not RMI named as such, and
each failure said once, in the README's words."""

import pathlib
import re
import socket
import threading
import time

import pytest

import orvane_driver_fanuc as fanuc
from conftest import DEADLINE, ROOT, Simulator
from test_driver_fanuc import free_loopback_address


class Server:
    """A TCP server on port `port` of a loopback address of its own: it accepts,
    and sends `greeting` on each connection (nothing when it is None)."""

    def __init__(self, greeting, port=16001):
        self.greeting = greeting
        self.listener = socket.socket()
        self.address = free_loopback_address()
        self.listener.bind((self.address, port))
        self.listener.listen(8)
        self.listener.settimeout(0.05)
        self.connections = []
        self.running = True
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while self.running:
            try:
                connection, _ = self.listener.accept()
            except (TimeoutError, OSError):
                continue
            self.connections.append(connection)
            if self.greeting is not None:
                connection.sendall(self.greeting)

    def close(self):
        self.running = False
        self.thread.join(timeout=DEADLINE)
        for connection in self.connections:
            connection.close()
        self.listener.close()


@pytest.fixture
def web_server():
    server = Server(b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n")
    yield server
    server.close()


@pytest.fixture
def silent_server():
    server = Server(None)
    yield server
    server.close()


def construction_error(*arguments, **keywords):
    with pytest.raises(fanuc.OrvaneError) as raised:
        fanuc.FanucDriver(*arguments, **keywords)
    return str(raised.value)


def readme_connection_error():
    """The construction error the README shows, as printed."""
    text = (ROOT / "README.md").read_text()
    found = re.search(r"`(\[orvane\.exception\.driver\] Could not connect[^`]*)`", text)
    assert found, "the README shows no construction error"
    return found.group(1)


def test_a_refused_connection_fails_at_once_in_the_readmes_words_and_is_printed_once(planner, capfd):
    example = readme_connection_error()
    shown_address = re.search(r"server at (\S+) port", example).group(1)
    address = free_loopback_address()
    start = time.monotonic()
    message = construction_error(planner, address, connect_timeout=60.0)
    # Far sooner than the minute allowed: nothing waited for an answer that cannot come.
    assert time.monotonic() - start < 30.0
    assert message == example.replace(shown_address, address)
    assert "Could not connect" not in capfd.readouterr().out  # the exception alone says it
    with pytest.raises(RuntimeError):  # the same failure, caught as generic code would
        fanuc.FanucDriver(planner, address, connect_timeout=60.0)


def test_a_server_that_is_not_rmi_is_named_as_such(planner, web_server):
    # The server's thread answers while the constructor waits: construction
    # holds no interpreter lock.
    message = construction_error(planner, web_server.address, connect_timeout=60.0)
    assert message == (
        f"[orvane.exception.driver] Could not connect to FANUC RMI server at {web_server.address} port 16001: "
        "the server answered, but not as an RMI controller ('HTTP/1.1 400 Bad Request'); check the address and the "
        "port."
    )
    assert "json" not in message


def test_a_server_that_never_answers_fails_at_the_connect_timeout(planner, silent_server):
    start = time.monotonic()
    message = construction_error(planner, silent_server.address, connect_timeout=1.0)
    assert time.monotonic() - start >= 1.0
    assert message.endswith(
        f"at {silent_server.address} port 16001: the server accepted the connection but did not answer FRC_Connect "
        "within 1 s; check that the port is the controller's RMI port and that RMI runs on the controller."
    )


def test_the_port_keyword_reaches_a_controller_on_another_port(planner, arm):
    sim = Simulator("--control-port", "0")
    try:
        port = int(re.search(r"listening on \S+:(\d+)", "\n".join(sim.lines)).group(1))
        assert port != 16001
        assert "port 16001: the connection was refused" in construction_error(planner, sim.address)
        driver = fanuc.FanucDriver(planner, arm, sim.address, port=port, connect_timeout=10.0)
        assert (driver.port, driver.connect_timeout, driver.is_connected) == (port, 10.0, True)
        assert driver.enable() == fanuc.Result.Success
        driver.close()
    finally:
        sim.stop()


def test_the_defaults_are_the_rmi_port_and_five_seconds(simulator, planner):
    driver = fanuc.FanucDriver(planner, simulator.address)
    assert (driver.port, driver.connect_timeout) == (16001, 5.0)
    driver.connect_timeout = 2.5
    assert driver.connect_timeout == 2.5
    driver.close()


@pytest.mark.parametrize(
    "keywords, error, text",
    [
        ({"host": "127.0.0.1:16009"}, ValueError, r"includes a port: give the host alone .*\(port=16009\)"),
        ({"port": 0}, ValueError, r"The RMI port must lie in 1 to 65535; 0 was given"),
        ({"port": 70000}, ValueError, r"The RMI port must lie in 1 to 65535; 70000 was given"),
        ({"port": "16001"}, TypeError, r"The port must be a whole number, not '16001' \(str\)"),
        ({"connect_timeout": 0}, ValueError, r"The connect timeout must be a number of seconds above 0"),
        ({"connect_timeout": float("nan")}, ValueError, r"The connect timeout must be a number of seconds above 0"),
        ({"connect_timeout": "2"}, TypeError, r"The connect timeout must be a number, not '2' \(str\)"),
    ],
    ids=["host:port", "port 0", "port 70000", "port text", "timeout 0", "timeout nan", "timeout text"],
)
def test_options_no_controller_can_be_reached_with_are_refused_in_the_librarys_words(planner, keywords, error, text):
    arguments = {"planner": planner, "host": "127.0.0.1", **keywords}
    with pytest.raises(error, match=text):
        fanuc.FanucDriver(**arguments)


def test_the_connect_timeout_attribute_refuses_what_is_no_time_out(driver):
    for value in (0.0, -1.0, float("inf")):
        with pytest.raises(ValueError, match="above 0 and at most 86400"):
            driver.connect_timeout = value
    assert driver.connect_timeout == 5.0


def test_the_options_are_keywords_only(simulator, planner, arm):
    with pytest.raises(TypeError):
        fanuc.FanucDriver(planner, arm, simulator.address, False, 16001)
