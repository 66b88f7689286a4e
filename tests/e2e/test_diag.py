"""Diagnostic logging control on a simulated device: the diagnostic client's
initialisation, the transmit mode, the capture tool started at boot, and the
flush pipe written from the host."""
import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from device import Device  # noqa: E402

CIRCULAR = "persist.vendor.sensors.diag_buffer_mode=true"
BOOT_OPTIONS = "-f /data/vendor/sensors/Diag.cfg -w /data/vendor/sensors -o /data/vendor/sensors"




def diag_lines(device):
    """The diagnostic settings task's own messages and the diag-sim trace."""
    return [line for line in device.snapshot()
            if line.tag == "diag-sim"
            or line.message.startswith(("handle_diag_settings:", "diag_buffering_enabled:", "wait_handle_flush:"))]


def trcap_invocations(device):
    return [line.text for line in device.snapshot() if line.tag == "trcap-sim" and line.text.startswith("trcap ")]


class DiagSettings(unittest.TestCase):
    def test_kora_circular_boot_starts_capture_and_a_flush_drains(self):
        with Device(props=[CIRCULAR], remoteprocs=["kora"]) as device:
            written = device.wait_for("handle_diag_settings:  written 7", timeout=30)
            took = device.wait_for(lambda line: line.message.startswith("main: took "), start=written)
            device.wait_for(lambda line: len(trcap_invocations(device)) >= 2)

            lines = diag_lines(device)
            self.assertEqual([line.message for line in lines], [
                "handle_diag_settings: try Diag_LSM_Init, count = 1",
                "Diag_LSM_Init(NULL) = 1",
                "handle_diag_settings: Diag_LSM_Init is successful",
                "diag_buffering_enabled: DIAG Buffering mode val: 1",
                "handle_diag_settings: Setting SNS TX MODE to CIRCULAR BUFF",
                "diag_configure_peripheral_buffering_tx_mode(3, 2, 20, 70) = 1",
                "diag_configure_peripheral_buffering_tx_mode(9, 2, 20, 70) = 1",
                "handle_diag_settings: Set SNS TX MODE success and return val: 1",
                "handle_diag_settings:  Diag.cfg present: starting trcap ",
                "handle_diag_settings:  after opening file ",
                "handle_diag_settings:  written 7",
            ])
            for line in lines:
                self.assertEqual(line.letter, "I", line.raw)
            # The client settles for 6 s before the mode is read.
            self.assertGreaterEqual(lines[3].stamp - lines[2].stamp, 5.99)
            self.assertGreaterEqual(int(device.snapshot()[took].message.split()[2]), 6000)
            # Both launches run in the background, so their lines may come in either order.
            self.assertEqual(sorted(trcap_invocations(device)),
                             sorted([f"trcap -g 16384 {BOOT_OPTIONS}", f"trcap -p 4 {BOOT_OPTIONS}"]))

            before = len(device.snapshot())
            device.request_flush()
            read = device.wait_for("wait_handle_flush: sns_diag_flush read len: 1", start=before)
            drain3 = device.wait_for("diag_peripheral_buffering_drain_immediate(3) = 1", start=read)
            device.wait_for("diag_peripheral_buffering_drain_immediate(9) = 1", start=drain3)
            time.sleep(0.3)
            self.assertEqual([line.message for line in diag_lines(device)][len(lines):], [
                "wait_handle_flush: sns_diag_flush read len: 1",
                "diag_peripheral_buffering_drain_immediate(3) = 1",
                "diag_peripheral_buffering_drain_immediate(9) = 1",
            ])
            self.assertEqual(len(trcap_invocations(device)), 2)

    def test_client_never_ready_releases_main_after_11000_ms_and_the_pipe_still_works(self):
        props = [CIRCULAR, "sim.diag.init_failures=25", "sim.diag.init_delay_ms=500"]
        with Device(props=props, remoteprocs=["kora"]) as device:
            starting = device.wait_for("main: sensors daemon starting")
            timeout = device.wait_for("main: diag is not initialized within 11000 ms", timeout=30)
            lines = device.snapshot()
            self.assertEqual(lines[timeout].letter, "E")
            waited = lines[timeout].stamp - lines[starting].stamp
            self.assertGreaterEqual(waited, 10.99)
            self.assertLess(waited, 12.0)

            failed = device.wait_for("handle_diag_settings: Diag_LSM_Init failed!", start=timeout, timeout=30)
            self.assertEqual(device.snapshot()[failed].letter, "E")
            expected = []
            for count in range(1, 26):
                expected += [f"handle_diag_settings: try Diag_LSM_Init, count = {count}", "Diag_LSM_Init(NULL) = 0"]
            expected.append("handle_diag_settings: Diag_LSM_Init failed!")

            device.request_flush()
            device.wait_for("diag_peripheral_buffering_drain_immediate(9) = 1", start=failed)
            time.sleep(0.3)
            self.assertEqual([line.message for line in diag_lines(device)], expected + [
                "wait_handle_flush: sns_diag_flush read len: 1",
                "diag_peripheral_buffering_drain_immediate(3) = 1",
                "diag_peripheral_buffering_drain_immediate(9) = 1",
            ])
            self.assertEqual(trcap_invocations(device), [])

    def test_no_remoteproc_failed_configuration_and_failed_drain(self):
        props = [CIRCULAR, "sim.diag.tx_mode_result.9=0", "sim.diag.drain_result.3=0"]
        with Device(props=props, no_remoteproc=True) as device:
            written = device.wait_for("handle_diag_settings:  written 7", timeout=30)
            device.wait_for(lambda line: len(trcap_invocations(device)) >= 1)
            failed = device.wait_for("handle_diag_settings: Set SNS TX MODE failed and return val: 0")
            self.assertLess(failed, written)
            self.assertEqual(device.snapshot()[failed].letter, "E")

            before = len(device.snapshot())
            device.request_flush()
            error = device.wait_for("wait_handle_flush: diag_peripheral_buffering_drain_immediate error",
                                    start=before)
            self.assertEqual(device.snapshot()[error].letter, "E")
            time.sleep(0.3)
            messages = [line.message for line in diag_lines(device)]
            after_boot = messages[messages.index("handle_diag_settings:  written 7") + 1:]
            self.assertEqual(after_boot, [
                "wait_handle_flush: sns_diag_flush read len: 1",
                "diag_peripheral_buffering_drain_immediate(3) = 0",
                "wait_handle_flush: diag_peripheral_buffering_drain_immediate error",
            ])
            self.assertEqual(trcap_invocations(device), [f"trcap -p 16 {BOOT_OPTIONS}"])


if __name__ == "__main__":
    unittest.main()
