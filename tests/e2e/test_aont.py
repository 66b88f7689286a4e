"""The always-on test sensor on a simulated device: the daemon looks up the
test sensor, enables it on the simulated hub and logs the samples it sends."""
import os
import re
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from device import Device  # noqa: E402

ENABLE = "persist.vendor.sensors.debug.enable.aon_sensor=true"
VERBOSE = "persist.vendor.sensors.debug.daemon=v"
FAST = "sim.hub.sample_period_ms=100"
SUID = "305419896:2596069104"
EVENT = re.compile(r"^handle_aont_event: event\[0\] msg_id=1024, ts=(\d+)$")


class Aont(unittest.TestCase):
    def test_enabled_sensor_is_requested_and_streams_decoded_samples(self):
        with Device(props=[ENABLE, VERBOSE, FAST]) as device:
            start = time.monotonic()
            request = (f"orb_interface#1.send_client_request({SUID}, 1, msg_id=514 suid={SUID} suspend=0/1 "
                       "request=present payload=absent bytes=33)")
            sequence = [
                "handle_aont: sending enable aont request",
                "enable: enable aont",
                "suid_lookup.request_suid(aont, false)",
                "suid_lookup.answer(aont, 1)",
                "suid_cbk: received response for aont suids.size() 1",
                "suid_cbk: aont suid_low: 305419896 suid_high: 2596069104",
                "send_request: sending on change config request for aont",
                "orb_interface.create(0) = #1",
                f"orb_interface#1.register_callbacks({SUID})",
                request,
            ]
            at = 0
            for text in sequence:
                at = device.wait_for(text, timeout=10, start=at) + 1
            device.wait_for("handle_aont: sent enable aont request")

            # Three indications in a row, each decoded right after its trace line.
            for _ in range(3):
                at = device.wait_for("orb_interface#1.indication(bytes=32)", timeout=5, start=at)
                indication = device.snapshot()[at]
                self.assertEqual(indication.tag, "hub-sim")
                at = device.wait_for("handle_aont_event: Received indication with length 32", timeout=5, start=at)
                event = device.wait_for(lambda line: EVENT.match(line.message), timeout=5, start=at)
                line = device.snapshot()[event]
                stamp_s = int(EVENT.match(line.message)[1]) / 1e9
                self.assertTrue(start - 1 <= stamp_s <= line.stamp + 0.001, line.raw)
                self.assertLessEqual(stamp_s, line.stamp)
                at = device.wait_for("handle_aont_event: Received sample size 3", timeout=5, start=event) + 1
                self.assertEqual(device.snapshot()[at - 1].letter, "V")

            messages = device.messages("sensors.lumo")
            self.assertEqual(messages.count("handle_aont: aont disabled"), 0)
            self.assertEqual(device.messages("hub-sim").count("orb_interface.create(0) = #1"), 1)

    def test_two_suids_with_the_first_create_failing_enable_the_second(self):
        props = [ENABLE, VERBOSE, FAST, "sim.hub.aont_suids=1:2,3:4", "sim.hub.create_fail=1",
                 "sim.hub.indication_hex=-"]
        with Device(props=props) as device:
            at = device.wait_for("suid_cbk: received response for aont suids.size() 2")
            at = device.wait_for("orb_interface.create(0) = null", start=at)
            at = device.wait_for("send_request:  failed to create orb_interface with ORB_KVX", start=at)
            at = device.wait_for("suid_cbk: aont suid_low: 3 suid_high: 4", start=at)
            at = device.wait_for("orb_interface.create(0) = #2", start=at)
            at = device.wait_for("orb_interface#2.indication(bytes=0)", start=at)
            after = device.wait_for("handle_aont_event: Received indication with length 0", start=at)
            device.wait_for("orb_interface#2.indication(bytes=0)", start=after)
            # A zero-length indication gives the length line and nothing else.
            between = [line.message for line in device.snapshot()[after + 1:]
                       if line.message.startswith("handle_aont_event")]
            self.assertTrue(all("length 0" in text for text in between), between)
            self.assertEqual(device.messages("hub-sim").count("orb_interface#1.destroyed"), 0)

    def test_disabled_by_default(self):
        with Device(props=[VERBOSE, FAST]) as device:
            device.wait_for("handle_aont: aont disabled")
            device.wait_for("main: sensors daemon starting")
            time.sleep(0.5)
            self.assertEqual(device.messages("hub-sim"), [])


if __name__ == "__main__":
    unittest.main()
