#!/usr/bin/python3
"""Writes the seed corpora of the command-tail, decimal and settings fuzz
targets (corpus/command_tail, corpus/decimal, corpus/settings). Each seed
starts from a case the tests name: the flags byte first where the target
takes one (see the target's comment)."""
import os

HERE = os.path.dirname(os.path.abspath(__file__))
CODE = "{11111111-2222-3333-4444-555555555555}"


def utf16(text):
    return text.encode("utf-16-le")


def write(target, name, data):
    directory = os.path.join(HERE, "corpus", target)
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, name), "wb") as f:
        f.write(data)


# command_tail: bit 0 helper with the marker, 1 a process 2000 to wait for,
# 2 it never ends, 3 the drive accepts the eject request.
COMMAND_TAIL = {
    "install-no-tail": (0, '"M:\\setup.exe"'),
    "install-arguments": (0, '"M:\\setup.exe" /q EJECT# eject #'),
    "install-marker-in-program-path": (0, '"M:\\eject#\\setup.exe" x'),
    "install-unquoted-program": (0, "M:\\setup.exe\t \t"),
    "marker-after-arguments": (2 | 8, '"M:\\setup.exe" a b -eject#M2000'),
    "marker-inside-quotes": (8, 'setup.exe "x eject#M2000"'),
    "eject-waits": (1 | 2 | 8, "M2000"),
    "eject-waits-at-most-5000-ms": (1 | 2 | 4 | 8, "M2000"),
    "eject-empty": (1, ""),
    "eject-letter-only": (1 | 8, "M"),
    "eject-trailing-letters": (1 | 2, "E508xyz"),
    "eject-negative-id": (1 | 8, "m-5"),
    "eject-white-space-and-sign": (1 | 2 | 8, "M \u3000+2000"),
    "eject-fullwidth-id": (1 | 2 | 8, "M\uff12\uff10\uff10\uff10"),
    "eject-huge-id": (1 | 2, "M99999999999999999999"),
}

DECIMAL = {
    "plain": "1033", "sign-and-space": " \t-123abc", "sign-only": "+", "empty": "",
    "ideographic-space-devanagari": "\u3000\u0967\u0966\u0969\u0969",
    "arabic-indic": "\u0661\u0660\u0663\u0663", "mixed-scripts": "1\uff10\u0e533",
    "above-max": "2147483648", "below-min": "-2147483649", "long-run": "9" * 40,
    "unlisted-digits": "\u07c01", "double-sign": "--1", "nbsp": "\u00a01",
}

# settings: bit 0 WOW64, 1 installed, 2 logging flag, 3 system language 1041,
# 4 volume label DISK1041, 5 msiexec exits 1602.
SETUP = f"[Setup]\r\nUpgradeCode={CODE}\r\n"
SETTINGS = {
    "plain-package": (0, SETUP + "Installer=Setup.msi\r\n"),
    "compressed-package": (0, SETUP + "Installer=Comp.msi\r\n"),
    "wow64-package": (1, SETUP + "Installer64=Comp.msi\r\nInstaller=Setup.msi\r\n"),
    "installed": (2, SETUP + "Installer=Setup.msi\r\n"),
    "logging": (4 | 32, SETUP + "Installer=Comp.msi\r\n"),
    "language-map": (8, SETUP + "Installer=Comp.msi\r\n[LanguageMap]\r\n1041=1041\r\n"),
    "volume-label": (16, SETUP + "Installer=Comp.msi\r\nUseVolumeNameForLanguage=no\r\n"),
    "no-package-named": (0, SETUP),
    "escaping-name": (0, SETUP + "Installer=..\\Comp.msi\r\n"),
    "device-name": (0, SETUP + "Installer=CON.msi\r\n"),
    "long-name": (0, SETUP + "Installer=" + "n" * 300 + "\r\n"),
    "long-upgrade-code": (0, "[Setup]\r\nUpgradeCode=" + "u" * 100 + "\r\nInstaller=Setup.msi\r\n"),
    "quoted-values": (0, '[setup]\r\nupgradecode="' + CODE + '"\r\ninstaller = "Comp.msi" \r\n'),
}


def main():
    for name, (flags, line) in COMMAND_TAIL.items():
        write("command_tail", name, bytes([flags]) + utf16(line))
    for name, text in DECIMAL.items():
        write("decimal", name, utf16(text))
    for name, (flags, text) in SETTINGS.items():
        write("settings", name, bytes([flags]) + text.encode("latin-1"))
    write("settings", "utf16-byte-order-mark", bytes([0]) + b"\xff\xfe" + utf16(SETUP + "Installer=Comp.msi\r\n"))
    write("settings", "binary", bytes([0]) + bytes(range(256)))


if __name__ == "__main__":
    main()
