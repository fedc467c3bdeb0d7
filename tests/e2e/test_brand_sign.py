"""A medium packed with the product's icon and an Authenticode signature:
setup.exe carries the product's nine images and passes the PE checks, its
signature verifies with osslsigncode and in check, the same inputs give the
same bytes, it still installs under Wine, and the eject helper, a byte copy
of the running program, verifies too. Key, certificate and icon are made
here with openssl, ImageMagick and icotool; nothing goes to the network."""

import os
import shutil
import struct
import subprocess
import unittest

import pefile

import wine_env as w
from test_build import check_pe
from test_stubmedia import stubmedia
from test_transform import LANGUAGES, build_product, run_stubmedia

PRODUCT = "BrandSignE2E"
PACKAGE = f"{PRODUCT}.msi"
# The order of RT_ICON 1..9 in group 107.
SLOTS = [(48, 4), (32, 4), (16, 4), (48, 8), (32, 8), (16, 8), (48, 32), (32, 32), (16, 32)]
MACHINE = {"win32": "i386", "win64": "amd64"}


def require_tools():
    for tool, package in (("osslsigncode", "osslsigncode"), ("openssl", "openssl"),
                          ("convert", "imagemagick"), ("icotool", "icoutils")):
        if not shutil.which(tool):
            raise w.MissingComponent(f"{tool} is missing: install the Debian package {package}")


def call(args, cwd, log):
    with open(log, "ab") as out:
        rc = subprocess.call([str(a) for a in args], cwd=cwd, stdin=subprocess.DEVNULL,
                             stdout=out, stderr=subprocess.STDOUT, timeout=120)
    if rc != 0:
        raise AssertionError(f"{args} failed ({rc}):\n{log.read_text(errors='replace')[-2000:]}")


def verify(path, ca):
    """osslsigncode's verdict on path, trusting only the test's certificate."""
    proc = subprocess.run(["osslsigncode", "verify", "-CAfile", str(ca), "-in", str(path)],
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, timeout=60)
    return proc.returncode, proc.stdout


def ico_images(path):
    """{(size, bpp): DIB bytes} of an icon file."""
    data = path.read_bytes()
    count, = struct.unpack_from("<H", data, 4)
    images = {}
    for i in range(count):
        size, offset = struct.unpack_from("<II", data, 6 + 16 * i + 8)
        image = data[offset:offset + size]
        width, _, _, bpp = struct.unpack_from("<iiHH", image, 4)
        images[(width, bpp)] = image
    return images


def pe_icons(path):
    """[RT_ICON 1..9 bytes] of a program."""
    pe = pefile.PE(str(path), fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    icons = {}
    for t in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if t.id != 3:
            continue
        for n in t.directory.entries:
            for lang in n.directory.entries:
                d = lang.data.struct
                icons[n.id] = pe.get_data(d.OffsetToData, d.Size)
    return [icons.get(i) for i in range(1, 10)]


class BrandSignTests(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        require_tools()
        cls.wine = w.shared_prefix()
        cls.work = w.config().e2e_dir / "brand-sign"
        if cls.work.exists():
            shutil.rmtree(cls.work)
        cls.work.mkdir(parents=True)
        log = cls.work / "tools.log"

        # A self-signed code-signing certificate in a password-protected PKCS#12 file.
        (cls.work / "password.txt").write_text("brelm-e2e\n")
        call(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "key.pem",
              "-out", "cert.pem", "-days", "3650", "-subj", "/CN=Brelm E2E Signer/O=Brelm",
              "-addext", "extendedKeyUsage=codeSigning"], cls.work, log)
        call(["openssl", "pkcs12", "-export", "-inkey", "key.pem", "-in", "cert.pem", "-out", "signer.p12",
              "-passout", "file:password.txt"], cls.work, log)
        cls.cert = cls.work / "cert.pem"

        # The product's icon as a setup engineer would make it from a picture.
        call(["convert", "-size", "64x64", "xc:none", "-fill", "#c03020", "-draw", "circle 32,32 32,4",
              "-fill", "white", "-draw", "rectangle 24,16 40,48", "logo.png"], cls.work, log)
        pngs = {}
        for s in (48, 32, 16):
            call(["convert", "logo.png", "-resize", f"{s}x{s}", f"p{s}.png"], cls.work, log)
            for bpp, colours in ((4, 15), (8, 255)):
                call(["convert", f"p{s}.png", "-channel", "A", "-threshold", "50%", "+channel",
                      "-colors", str(colours), f"PNG8:p{s}-{bpp}.png"], cls.work, log)
                pngs[(s, bpp)] = f"p{s}-{bpp}.png"
            pngs[(s, 32)] = f"p{s}.png"
        args = ["icotool", "-c", "-o", "product.ico"]
        for bpp in (4, 8, 32):
            args += ["-b", str(bpp)] + [pngs[(s, bpp)] for s in (48, 32, 16)]
        call(args, cls.work, log)
        cls.icon = cls.work / "product.ico"

        cls.input = cls.work / "input"
        cls.input.mkdir()
        cls.upgrade_code = w.new_upgrade_code()
        product_code = w.new_upgrade_code()
        greeting, readme, logo = LANGUAGES[1033]
        base = build_product(cls.work / "msi" / PACKAGE, cls.upgrade_code, product_code, 1033, greeting, readme,
                             logo, product=PRODUCT)
        cls.package = w.MsiPackage(base, product_code, cls.upgrade_code, PRODUCT, "1.0.0", PRODUCT)
        shutil.copyfile(base, cls.input / PACKAGE)
        code, text = run_stubmedia("transform", base, base, "-o", cls.input / "1033.mst")
        if code != 0:
            raise AssertionError(f"stubmedia transform failed ({code}):\n{text}")
        (cls.input / "docs").mkdir()
        (cls.input / "docs" / "readme.txt").write_text("read me first\n")

    def setUp(self):
        self.wine.restore_msiexec()
        self.uninstall()

    def tearDown(self):
        self.uninstall()

    def uninstall(self):
        if self.wine.related_products(self.upgrade_code):
            self.wine.uninstall_msi(self.package.product_code)
        self.wine.wait_no_process("brelm_eject.exe", timeout=30)
        for name in (PACKAGE, "1033.mst", "brelm_eject.exe"):
            staged = self.wine.temp_dir / name
            if staged.exists():
                os.chmod(staged, 0o644)
                staged.unlink()

    def pack(self, name, setup):
        medium = self.work / name
        if medium.exists():
            shutil.rmtree(medium)
        code, report = stubmedia("pack", self.input, medium, "--upgrade-code", self.upgrade_code,
                                 "--setup-exe", setup, "--quiet", "--icon", self.icon,
                                 "--sign-pkcs12", self.work / "signer.p12",
                                 "--sign-password-file", self.work / "password.txt",
                                 "--action", "Install Brelm E2E")
        self.assertEqual(code, 0, report)
        self.assertTrue(report["branded"], report)
        self.assertTrue(report["signature"]["intact"], report)
        return medium

    def test_branded_signed_medium_installs_and_its_eject_helper_verifies(self):
        wanted = ico_images(self.icon)
        for exe in w.setup_exes():
            with self.subTest(arch=exe.arch):
                self.uninstall()
                setup = exe.require()
                medium = self.pack(f"medium-{exe.arch}", setup)
                program = medium / "setup.exe"

                # The same inputs, the same bytes: every file of the medium.
                again = self.pack(f"again-{exe.arch}", setup)
                files = sorted(p.relative_to(medium) for p in medium.rglob("*") if p.is_file())
                self.assertEqual(files, sorted(p.relative_to(again) for p in again.rglob("*") if p.is_file()))
                for f in files:
                    self.assertEqual((medium / f).read_bytes(), (again / f).read_bytes(), f)
                self.assertEqual((medium / "docs" / "readme.txt").read_text(), "read me first\n")
                self.assertIn(b"action=Install Brelm E2E\r\n", (medium / "autorun.inf").read_bytes())

                # The PE rules hold on the branded, signed program, and its nine
                # images are the icon's (the palette padded, biClrUsed 0).
                rc, said = check_pe(program, MACHINE[exe.arch])
                self.assertEqual(rc, 0, said)
                for i, (image, slot) in enumerate(zip(pe_icons(program), SLOTS)):
                    self.assertIsNotNone(image, f"RT_ICON {i + 1}")
                    self.assertEqual(image[40:], wanted[slot][40:], f"RT_ICON {i + 1} {slot}")
                    self.assertNotEqual(image, pe_icons(setup)[i], f"RT_ICON {i + 1} is still the launcher's")

                # Windows' icon functions pick and draw the product's images: red
                # where the launcher's own icon is blue.
                for path, wanted_colour in ((program, "red"), (setup, "blue")):
                    seen = self.wine.program_icon(path)
                    for i in range(1, 10):
                        self.assertEqual(seen.get(f"image:{i}"), "1", (path, seen))
                    for size in (48, 32, 16):
                        fields = seen.get(f"size:{size}", "").split()
                        self.assertEqual(fields[:1] + fields[2:4], ["id", "icon", "1"], (path, size, seen))
                        self.assertIn(int(fields[1]), range(1, 10), seen)
                        self.assertEqual(SLOTS[int(fields[1]) - 1][0], size, seen)
                        r, g, b = bytes.fromhex(fields[5])
                        self.assertEqual("red" if r > b else "blue", wanted_colour, (path, size, seen))

                rc, said = verify(program, self.cert)
                self.assertEqual(rc, 0, said)
                code, report = stubmedia("check", medium)
                self.assertEqual(code, 0, report)
                sig = report["signature"]
                self.assertEqual((sig["signed"], sig["intact"], sig["broken"]), (True, True, False), sig)
                self.assertIn("Brelm E2E Signer", sig["signer"])

                # Wine does not check Authenticode: this shows that signing left
                # a program that runs and installs, not that Windows trusts it.
                self.wine.add_drive("m", medium, type="cdrom", label="BRANDSIGN")
                result = self.wine.run("M:\\setup.exe", [], timeout=180)
                self.assertEqual(result, 0, result)
                self.assertEqual(self.wine.related_products(self.upgrade_code), [self.package.product_code])
                self.wine.wait_no_process("brelm_eject.exe", timeout=30)
                helper = self.wine.temp_dir / "brelm_eject.exe"
                self.assertEqual(helper.read_bytes(), program.read_bytes())
                rc, said = verify(helper, self.cert)
                self.assertEqual(rc, 0, said)

    def test_one_changed_byte_breaks_the_signature_in_check(self):
        exe = w.setup_exes()[0]
        medium = self.pack("tampered", exe.require())
        program = medium / "setup.exe"
        data = bytearray(program.read_bytes())
        data[0x400] ^= 0x01
        program.write_bytes(bytes(data))
        code, report = stubmedia("check", medium)
        self.assertEqual(code, 1, report)
        self.assertTrue(report["signature"]["broken"], report)
        self.assertIn("signature-broken", {f["code"] for f in report["findings"] if f["severity"] == "error"})
        rc, said = verify(program, self.cert)
        self.assertNotEqual(rc, 0, said)
        # The PE checker sees the change too: the stored checksum is stale.
        rc, said = check_pe(program, MACHINE[exe.arch])
        self.assertEqual(rc, 1, said)
        self.assertIn("checksum is", said)


if __name__ == "__main__":
    unittest.main()
