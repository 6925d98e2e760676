"""The processes of a local recording: a private sound server, the devserver and the helper.

Shared by scripts/demo and the end-to-end tests. Every process is started as a child that dies
with us (even when we are killed), and `Rig` stops them all, in reverse order, however it is left.
Only the Python standard library is used.
"""

import contextlib
import ctypes
import json
import os
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import urllib.request
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
CONVERSATION = REPO / "tests" / "data" / "conversation"
# Where each side is played in the private sound server: the speakers' monitor is "them", and
# the virtual microphone hears what is played into "micsink".
DEVICE_OF_SIDE = {"them": "speakers", "me": "micsink"}

_PR_SET_PDEATHSIG = 1


def _die_with_parent():
    # The kernel sends it when the thread that started the child ends: a rig is used by one
    # thread, which closes it (stopping the children) before it ends.
    ctypes.CDLL(None, use_errno=True).prctl(_PR_SET_PDEATHSIG, signal.SIGKILL)


def ensure_built(targets):
    """The paths of `targets` in build/, building (only) the missing ones first."""
    paths = [REPO / "build" / target for target in targets]
    missing = [path.name for path in paths if not path.exists()]
    if missing:
        subprocess.run([REPO / "scripts/setup", *missing], check=True)
    return paths


def wait_until(condition, timeout, step=0.05):
    """Polls `condition` until it holds (returning its value) or `timeout` seconds pass (None)."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() >= deadline:
            return value or None
        time.sleep(step)


class Rig(contextlib.ExitStack):
    """A scratch directory and the child processes started in it; closing stops them all."""

    def __init__(self, prefix="tessarin-rig-"):
        super().__init__()
        self.dir = Path(tempfile.mkdtemp(prefix=prefix))
        self.callback(shutil.rmtree, self.dir, ignore_errors=True)

    def spawn(self, args, grace=5.0, **options):
        """Starts a child that is stopped with SIGTERM (then killed after `grace` seconds) when the
        rig closes. It runs in a session of its own: a Ctrl-C reaches only us, and we stop the
        children in order (the helper saves its recording while the devserver still listens)."""
        child = subprocess.Popen([str(a) for a in args], preexec_fn=_die_with_parent,
                                 start_new_session=True, **options)
        self.callback(self._stop, child, grace)
        return child

    @staticmethod
    def _stop(child, grace):
        if child.poll() is None:
            child.send_signal(signal.SIGTERM)
            try:
                child.wait(grace)
            except subprocess.TimeoutExpired:
                child.kill()
                child.wait()
        for stream in (child.stdin, child.stdout, child.stderr):
            if stream:
                stream.close()


class SoundServer:
    """A private sound server (or the user's own) and playback into it."""

    def __init__(self, rig, private=True):
        self.env = dict(os.environ)
        self.private = private
        if private:
            socket_dir = rig.dir / "sound"
            socket_dir.mkdir()
            log = open(rig.dir / "sound-server.log", "wb")
            rig.callback(log.close)
            rig.spawn([REPO / "scripts/lib/private-sound-server", socket_dir], stdout=log,
                      stderr=subprocess.STDOUT)
            self.env["PULSE_SERVER"] = f"unix:{socket_dir}/native"
        if not wait_until(self.reachable, 10):
            raise RuntimeError("the sound server did not answer")

    def reachable(self):
        return subprocess.run(["pactl", "info"], env=self.env, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode == 0

    def play(self, wav, side):
        """Plays a WAV file to the end; into the side's virtual device, or the default output."""
        device = [f"--device={DEVICE_OF_SIDE[side]}"] if self.private else []
        subprocess.run(["paplay", *device, wav], env=self.env, check=True,
                       preexec_fn=_die_with_parent)


class DevServer:
    """tessarin-devserver on a database in the rig's directory; its url once it is ready."""

    def __init__(self, rig, binary, *options):
        self.binary = binary
        self.db = rig.dir / "devserver.db"
        self.log = open(rig.dir / "devserver.log", "wb")
        rig.callback(self.log.close)
        self.process = rig.spawn([binary, "--db", self.db, *options], stdout=subprocess.PIPE,
                                 stderr=self.log)
        ready = json.loads(self.process.stdout.readline() or "{}")
        if ready.get("event") != "ready":
            raise RuntimeError("the devserver did not start")
        self.url = ready["url"]

    def control(self, switches=None):
        """Changes switches (when given); answers the switches and counters."""
        body = None if switches is None else json.dumps(switches).encode()
        request = urllib.request.Request(self.url + "/control", data=body,
                                         method="GET" if body is None else "POST")
        with urllib.request.urlopen(request, timeout=10) as answer:
            return json.load(answer)

    def counters(self):
        return self.control()["counters"]

    def show(self, meeting, as_json=False):
        args = [self.binary, "--show", meeting, "--db", self.db] + (["--json"] if as_json else [])
        text = subprocess.run(args, check=True, capture_output=True, text=True).stdout
        return json.loads(text) if as_json else text


class Helper:
    """The helper in protocol mode: requests out; every line it writes kept, in order.

    `on_line` sees each protocol line as it arrives (on the reading thread)."""

    def __init__(self, rig, binary, env, on_line=None):
        # The helper's own exit watchdog ends it within 45 seconds.
        self.process = rig.spawn([binary], grace=50.0, stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env,
                                 text=True, bufsize=1)
        self.lines = []  # every protocol line, parsed
        self.log = []  # diagnostics, without the "tessarin-helper: " prefix
        self.output_ended = False
        self._on_line = on_line or (lambda line: None)
        self._changed = threading.Condition()
        self._next_id = 0
        threading.Thread(target=self._read_lines, daemon=True).start()
        threading.Thread(target=self._read_log, daemon=True).start()

    def _read_lines(self):
        for text in self.process.stdout:
            line = json.loads(text)
            self._on_line(line)
            with self._changed:
                self.lines.append(line)
                self._changed.notify_all()
        with self._changed:
            self.output_ended = True
            self._changed.notify_all()

    def _read_log(self):
        for line in self.process.stderr:
            self.log.append(line.rstrip("\n").removeprefix("tessarin-helper: "))

    def send(self, cmd, params=None):
        """Writes a request (from any thread); answers its id."""
        with self._changed:
            self._next_id += 1
            request = {"id": self._next_id, "cmd": cmd}
            if params is not None:
                request["params"] = params
            self.process.stdin.write(json.dumps(request) + "\n")
            self.process.stdin.flush()
            return self._next_id

    def wait_for(self, condition, timeout):
        """Waits until `condition(lines)` holds; answers whether it did in time."""
        with self._changed:
            return self._changed.wait_for(
                lambda: condition(self.lines) or self.output_ended, timeout) and condition(
                    self.lines)

    def response(self, request_id):
        return next((line for line in self.lines if line.get("id") == request_id), None)

    def request(self, cmd, params=None, timeout=60):
        """Sends a request and answers its result; a failure or no answer in time raises."""
        request_id = self.send(cmd, params)
        self.wait_for(lambda lines: self.response(request_id), timeout)
        response = self.response(request_id)
        if response is None:
            raise RuntimeError(f"{cmd}: no answer from the helper within {timeout} s")
        if not response["ok"]:
            error = response["error"]
            raise RuntimeError(f"{cmd} failed: {error['code']}: {error['message']}")
        return response["result"]

    def close_input(self):
        if not self.process.stdin.closed:
            self.process.stdin.close()
