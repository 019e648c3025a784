"""wenlo foxglove on the simulated robot, seen by a WebSocket client of ours that speaks the
Foxglove protocol, on loopback only."""
import base64
import json
import math
import pathlib
import re
import runpy
import select
import struct
import subprocess
import sys
import time

import pytest

pytest.importorskip("foxglove", reason="foxglove-sdk is missing: pip install '.[tools]'")
websockets_client = pytest.importorskip(
    "websockets.sync.client",
    reason="the test's WebSocket client is missing: pip install websockets")
pytest.importorskip("google.protobuf", reason="protobuf is missing: pip install protobuf")

from google.protobuf import descriptor_pb2, descriptor_pool, message_factory  # noqa: E402

from wenlo_tools.record import HEALTH_SCHEMA  # noqa: E402

WENLO = [sys.executable, "-m", "wenlo_tools"]
JOINTS = ["left_arm_pitch", "left_arm_yaw", "right_arm_pitch", "right_arm_yaw", "nose_top",
          "nose_left", "nose_right", "neck_yaw", "neck_pitch", "neck_roll"]
STEP = 2 * math.pi / 4096
LAYOUT = pathlib.Path(__file__).resolve().parent.parent / "tools" / "foxglove"
PROTOCOLS = ["foxglove.websocket.v1", "foxglove.sdk.v1"]


def protobuf_class(channel):
    """The message class of a protobuf channel, from the schema it advertised."""
    files = descriptor_pb2.FileDescriptorSet.FromString(base64.b64decode(channel["schema"]))
    pool = descriptor_pool.DescriptorPool()
    for f in files.file:
        pool.Add(f)
    return message_factory.GetMessageClass(pool.FindMessageTypeByName(channel["schemaName"]))


def test_a_client_sees_three_channels_and_joint_states_that_match_the_simulator(sim):
    sim.servo_set_position(3, 2048 + 300)  # right_arm_pitch, off zero
    proc = subprocess.Popen(WENLO + ["foxglove", "--port", "0", "--telemetry-period", "200"],
                            env=sim.env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True)
    try:
        ready, _, _ = select.select([proc.stdout], [], [], 60)
        line = proc.stdout.readline() if ready else ""
        assert line.startswith("wenlo foxglove: serving ws://127.0.0.1:"), line
        url = line.split()[3]
        # foxglove-sdk 0.30 speaks the protocol's framing under the name foxglove.sdk.v1 and
        # refuses the older name alone; a client offers both, as the Foxglove app does.
        with websockets_client.connect(url, subprotocols=PROTOCOLS, proxy=None,
                                       open_timeout=10, max_size=None) as ws:
            assert ws.subprotocol in PROTOCOLS
            protocol = ws.subprotocol
            channels = {}
            for _ in range(50):  # serverInfo, then the channels' advertisements
                if len(channels) == 3:
                    break
                op = json.loads(ws.recv(timeout=10))
                if op["op"] == "advertise":
                    channels.update({c["topic"]: c for c in op["channels"]})
            assert sorted(channels) == ["/health", "/joint_states", "/stats"]
            assert (channels["/joint_states"]["schemaName"],
                    channels["/joint_states"]["encoding"]) == ("foxglove.JointStates", "protobuf")
            assert channels["/health"]["encoding"] == channels["/stats"]["encoding"] == "json"
            assert json.loads(channels["/health"]["schema"]) == HEALTH_SCHEMA
            by_id = {}
            for sid, topic in enumerate(sorted(channels), start=1):
                by_id[sid] = topic
            ws.send(json.dumps({"op": "subscribe", "subscriptions": [
                {"id": sid, "channelId": channels[topic]["id"]} for sid, topic in by_id.items()]}))
            decode = protobuf_class(channels["/joint_states"])
            got = {topic: [] for topic in channels}
            deadline = time.monotonic() + 3.0
            while time.monotonic() < deadline:
                data = ws.recv(timeout=5)
                if isinstance(data, bytes) and data[0] == 0x01:  # a message data frame
                    sid, _ = struct.unpack_from("<IQ", data, 1)
                    got[by_id[sid]].append(data[13:])
    finally:
        proc.terminate()
        proc.wait(timeout=10)
    states = [decode.FromString(b) for b in got["/joint_states"]]
    stats = [json.loads(b) for b in got["/stats"]]
    health = [json.loads(b) for b in got["/health"]]
    assert len(stats) >= 5 and len(health) >= 5, (len(stats), len(health))
    # Every snapshot between two /stats messages came, once and in order.
    stamps = [s.timestamp.seconds * 10**9 + s.timestamp.nanos for s in states]
    first, last = stats[1], stats[-1]
    between = [s for s in stamps if first["last_snapshot_ns"] < s <= last["last_snapshot_ns"]]
    assert len(between) == last["snapshots"] - first["snapshots"] > 100
    assert stamps == sorted(set(stamps))
    # The positions are the simulator's.
    latest = {j.name: j.position for j in states[-1].joints}
    assert list(latest) == JOINTS
    assert latest["right_arm_pitch"] == pytest.approx(300 * STEP, abs=STEP)
    assert all(latest[j] == pytest.approx(0.0, abs=0.01) for j in JOINTS if j != "right_arm_pitch")
    assert [j["name"] for j in health[-1]["joints"]] == JOINTS
    assert health[-1]["joints"][2]["position"] == pytest.approx(300 * STEP, abs=STEP)
    assert 5 < last["period"]["mean_ms"] < 20  # 10 ms, with room for a busy machine
    # The shipped layout is what its script makes, and it plots what the server sends.
    made = runpy.run_path(str(LAYOUT / "make_layout.py"))["layout"]().to_json() + "\n"
    assert (LAYOUT / "wenlo-live.json").read_text() == made
    assert set(re.findall(r'"(/[a-z_]+)[.]', made)) == set(channels)
    plotted = re.findall(r'name==\\"([a-z_]+)\\"', made)
    assert plotted == [j["name"] for j in health[-1]["joints"]]
    print(f"\n{len(states)} joint states in 3 s over the WebSocket ({protocol}), "
          f"{len(between)} of {last['snapshots'] - first['snapshots']} between two /stats")


def test_a_wider_host_is_warned_about_before_anything_starts(sim):
    # A serial port that does not exist stops the command before it binds anything.
    done = subprocess.run(WENLO + ["foxglove", "--host", "0.0.0.0", "--serial-port",
                                   "/nonexistent/tty"], env=sim.env(), capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 1
    assert done.stderr.splitlines()[0] == ("wenlo foxglove: warning: serving on 0.0.0.0: anyone "
                                           "who can reach port 8765 there sees the robot")
