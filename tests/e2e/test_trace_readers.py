"""The harness's trace readers on real Wine traces of the 32-bit setup.exe
and of its x86-64 twin (tests/e2e/fixtures/traces). They need no Wine, so
they also prove the readers on a machine that cannot run 32-bit code."""

import unittest
from pathlib import Path

import wine_env as w

TRACES = Path(__file__).resolve().parent / "fixtures" / "traces"
EJECT, LOAD = 0x2D4808, 0x2D480C
MOUNT_MANAGER_QUERY = 0x6D4084
DEVICE = "\\\\.\\M:"
MOUNT_MANAGER = "\\\\.\\MountPointManager"
ARCHES = (("win32", 32), ("win64", 64))


def trace(name):
    return (TRACES / f"{name}.trace").read_text(encoding="utf-8")


class StorageRequestTests(unittest.TestCase):
    # (trace, [(device the handle was opened as, handle, control code)]);
    # the mount manager's own query carries buffers and is no such request
    CASES = [
        ("eject-mode-{arch}-cdrom", [(DEVICE, 0x30, EJECT)]),
        ("eject-mode-{arch}-removable", [(DEVICE, 0x30, EJECT)]),
        ("eject-mode-{arch}-fixed", [(None, None, EJECT)]),       # sent without a device
        ("install-mode-load-request-{arch}-cdrom", [(DEVICE, 0x94, LOAD)]),
        ("install-mode-load-request-{arch}-removable", [(DEVICE, 0x94, LOAD)]),
        ("installed-product-hand-off-{arch}", [(DEVICE, 0x38, EJECT)]),
    ]

    def test_requests_in_real_traces_of_both_builds(self):
        for arch, bits in ARCHES:
            for name, expected in self.CASES:
                with self.subTest(trace=name.format(arch=arch)):
                    requests = w.traced_storage_requests(trace(name.format(arch=arch)))
                    self.assertEqual([(r.path, r.handle, r.code) for r in requests], expected)
                    self.assertEqual({r.bits for r in requests}, {bits})

    def test_the_code_filter(self):
        text = trace("install-mode-load-request-win32-cdrom")
        self.assertEqual(w.traced_storage_requests(text, EJECT), [])
        self.assertEqual(len(w.traced_storage_requests(text, LOAD)), 1)

    def test_the_eject_request_comes_from_the_helper_started_with_setups_pid(self):
        helper = {"win32": "017c", "win64": "019c"}
        for arch, _ in ARCHES:
            with self.subTest(arch=arch):
                text = trace(f"installed-product-hand-off-{arch}")
                (request,) = w.traced_storage_requests(text)
                self.assertEqual(request.process, helper[arch])
                starts = w.traced_process_starts(text)
                self.assertEqual([image for image, _ in starts],
                                 ["M:\\setup.exe", "C:\\users\\root\\Temp\\brelm_eject.exe"])
                # setup.exe's pid is the process key of the helper's parent, in decimal on the command line
                setup_pid = {"win32": 0x174, "win64": 0x194}[arch]
                self.assertEqual(starts[1][1], f'"C:\\users\\root\\Temp\\brelm_eject.exe" -eject#M{setup_pid}')

    def test_a_line_of_mixed_widths_is_refused_not_skipped(self):
        line = ("0164:0168:trace:file:KERNEL32_DeviceIoControl "
                "(00000030,0x2d4808,0000000000000000,0,00000000,0,0071FE2C,00000000)")
        with self.assertRaises(w.HarnessError):
            w.traced_storage_requests(line)


class DeviceIoctlTests(unittest.TestCase):
    def test_control_codes_and_devices_of_both_builds(self):
        cases = [("eject-mode-{arch}-cdrom", DEVICE), ("eject-mode-{arch}-fixed", None)]
        for arch, _ in ARCHES:
            for name, device in cases:
                with self.subTest(trace=name.format(arch=arch)):
                    self.assertEqual(w.traced_device_ioctls(trace(name.format(arch=arch))),
                                     [(MOUNT_MANAGER, MOUNT_MANAGER_QUERY), (device, EJECT)])


class OpenTests(unittest.TestCase):
    def test_handles_are_kept_per_process_whatever_their_width(self):
        # run_child (64-bit) and the 32-bit setup.exe both hold a handle 0x30
        text = trace("eject-mode-win32-cdrom")
        opened = {path: handle for path, _, handle in w.traced_opens(text)}
        self.assertEqual(opened[DEVICE], 0x30)
        self.assertEqual(opened["C:\\e2e\\run\\0009-setup.exe.req"], 0x30)
        self.assertEqual(w.traced_device_ioctls(text)[-1], (DEVICE, EJECT))

    def test_null_and_invalid_handles_of_either_width_are_none(self):
        cases = [("00000030", 0x30), ("000000000000003C", 0x3C), ("FFFFFFFF", None),
                 ("ffffffffffffffff", None), ("00000000", None)]
        for printed, expected in cases:
            with self.subTest(printed=printed):
                text = ('0164:0168:trace:file:CreateFileW L"\\\\\\\\.\\\\M:" GENERIC_READ  creation 3 attributes 0x0\n'
                        f"0164:0168:trace:file:CreateFileW returning {printed}\n")
                self.assertEqual(w.traced_opens(text), [(DEVICE, "GENERIC_READ  creation 3 attributes 0x0", expected)])


if __name__ == "__main__":
    unittest.main()
