"""Package staging under Wine: a compressed medium is expanded into the
user's temp directory with the original bytes, beside each other where
msiexec is started; a plain package is used where it lies."""

import os
import random
import shutil
import unittest
import uuid

import wine_env as w

PACKAGE = "StagingE2E.msi"
LANGUAGE = 4242  # from the volume label: a transform name no other test uses
TRANSFORM = f"{LANGUAGE}.mst"
# msiexec's exit code for a cancelled installation: no eject hand-off follows
CANCELLED = 1602


class StagingTests(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.wine = w.shared_prefix()
        cls.wine.install_recording_msiexec()
        cls.wine.set_msiexec_exit(CANCELLED)
        cls.medium = w.config().e2e_dir / "staging-medium"
        cls.originals = w.config().e2e_dir / "staging-originals"
        rng = random.Random(6)
        # Random and repetitive stretches, like a real package.
        cls.package = rng.randbytes(150000) + b"table row " * 20000 + rng.randbytes(30000)
        cls.transform = rng.randbytes(5000)

    @classmethod
    def tearDownClass(cls):
        cls.wine.restore_msiexec()

    def fresh_run(self):
        """No staged files of ours in temp, no msiexec starts recorded."""
        for name in (PACKAGE, TRANSFORM):
            self.remove(self.wine.temp_dir / name)
        self.wine.clear_msiexec_records()

    @staticmethod
    def remove(path):
        if path.exists():
            os.chmod(path, 0o644)
            path.unlink()

    def medium_with(self, setup, plain):
        """Drive M: with setup.exe, its settings and the package compressed
        (and, when plain, also as it is)."""
        for directory in (self.medium, self.originals):
            if directory.exists():
                shutil.rmtree(directory)
            directory.mkdir(parents=True)
        shutil.copyfile(setup, self.medium / "setup.exe")
        (self.medium / "autorun.inf").write_text(
            f"[Setup]\r\nUpgradeCode={{{str(uuid.uuid4()).upper()}}}\r\nInstaller={PACKAGE}\r\n"
            "UseVolumeNameForLanguage=1\r\n")
        for name, data in ((PACKAGE, self.package), (TRANSFORM, self.transform)):
            (self.originals / name).write_bytes(data)
            w.compress_lzma_alone(self.originals / name, self.medium / (name[:-1] + "_"))
        if plain:
            (self.medium / PACKAGE).write_bytes(b"the plain package")
        self.wine.add_drive("m", self.medium, type="hd", label=f"STAGING{LANGUAGE}")
        return self.medium / "setup.exe"

    def for_each_setup(self, check):
        for exe in w.setup_exes():
            with self.subTest(arch=exe.arch):
                self.fresh_run()
                check(exe.require())

    def only_msiexec_start(self):
        records = self.wine.msiexec_records()
        self.assertEqual(len(records), 1, records)
        return records[0]

    def test_compressed_medium_is_expanded_into_temp_with_the_original_bytes(self):
        self.for_each_setup(self.check_compressed_medium)

    def check_compressed_medium(self, setup):
        # A stale read-only package from an earlier run: made normal and
        # deleted, which a second name of the old file shows (Wine as root
        # would write through it instead).
        stale = self.wine.temp_dir / PACKAGE
        stale.write_bytes(b"stale package")
        os.chmod(stale, 0o444)
        link = self.wine.temp_dir / "staging-old-link"
        self.remove(link)
        os.link(stale, link)
        try:
            program = self.medium_with(setup, plain=False)
            self.assertEqual(self.wine.run(program, []), CANCELLED)

            self.assertEqual((self.wine.temp_dir / PACKAGE).read_bytes(), self.package)
            self.assertEqual((self.wine.temp_dir / TRANSFORM).read_bytes(), self.transform)
            self.assertEqual(link.read_bytes(), b"stale package")
            record = self.only_msiexec_start()
            staged = f"{self.wine.temp_dir_windows}\\\\{PACKAGE}"
            self.assertEqual(record.argv[1:], ["-i", staged, f"TRANSFORMS={TRANSFORM}"])
            # msiexec finds the transform by its bare name in its working directory.
            self.assertTrue((self.wine.to_unix(record.cwd) / TRANSFORM).is_file(), record.cwd)
        finally:
            self.remove(link)

    def test_stale_hidden_and_system_files_are_made_normal_and_deleted(self):
        # Windows would refuse to create the staged files anew over them.
        temp = self.wine.temp_dir_windows
        hidden_system = w.FILE_ATTRIBUTE_HIDDEN | w.FILE_ATTRIBUTE_SYSTEM
        for exe in w.setup_exes():
            with self.subTest(arch=exe.arch):
                self.fresh_run()
                links = []
                for name in (PACKAGE, TRANSFORM):
                    stale = self.wine.temp_dir / name
                    stale.write_bytes(b"stale " + name.encode())
                    link = self.wine.temp_dir / f"staging-old-{name}"
                    self.remove(link)
                    os.link(stale, link)
                    links.append((link, b"stale " + name.encode()))
                    self.wine.set_file_attributes(f"{temp}\\{name}", hidden_system)
                try:
                    program = self.medium_with(exe.require(), plain=False)
                    self.assertEqual(self.wine.run(program, []), CANCELLED)
                    for name, data in ((PACKAGE, self.package), (TRANSFORM, self.transform)):
                        self.assertEqual((self.wine.temp_dir / name).read_bytes(), data)
                        self.assertFalse(self.wine.file_attributes(f"{temp}\\{name}") & hidden_system)
                    for link, data in links:
                        self.assertEqual(link.read_bytes(), data, "deleted, not written over")
                finally:
                    for link, _ in links:
                        self.remove(link)

    def test_plain_package_is_used_where_it_lies(self):
        self.for_each_setup(self.check_plain_medium)

    def check_plain_medium(self, setup):
        stale = self.wine.temp_dir / PACKAGE
        stale.write_bytes(b"stale package")
        program = self.medium_with(setup, plain=True)
        self.assertEqual(self.wine.run(program, []), CANCELLED)

        record = self.only_msiexec_start()
        self.assertEqual(record.argv[1:], ["-i", f"M:\\{PACKAGE}", f"TRANSFORMS={TRANSFORM}"])
        self.assertEqual(stale.read_bytes(), b"stale package")
        self.assertFalse((self.wine.temp_dir / TRANSFORM).exists())


if __name__ == "__main__":
    unittest.main()
