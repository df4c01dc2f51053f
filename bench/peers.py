"""The other ways to ship a Windows application as one file, built here so
that they run the same application as a onefile executable: each unpacks the
staged payload plus bench/plain_loader.exe and starts that loader on the
entry library with the arguments the executable was given.

NSIS: a silent installer that unpacks to $PLUGINSDIR, runs the loader with
ExecWait, passes its exit status on with SetErrorLevel and leaves the removal
of $PLUGINSDIR to NSIS at exit.

caxa: its prebuilt Windows stub (written in Go), then a gzip-compressed tar of
the payload, then "\\n" and a JSON footer. The stub finds the archive after
the separator it already ends with and the footer after the last "\\n"; it
unpacks to TEMP\\caxa\\applications\\<identifier>\\<n> once and starts from
there afterwards.
"""

import json
import secrets
import shutil
import string
from pathlib import Path

LOADER = "plain_loader.exe"
NSIS_COMPRESSORS = ("lzma", "zlib")

CAXA_VERSION = "3.0.1"
CAXA_STUB = Path("node_modules") / "caxa" / "stubs" / "stub--win32--x64"
# The stub looks for the first occurrence of this; it is the stub's last bytes.
CAXA_ARCHIVE_SEPARATOR = b"\nCAXACAXACAXA\n"
CAXA_PLACEHOLDER = "{{caxa}}"


def nsis_literal(text):
    """`text` quoted for a command that makensis carries out itself (File,
    OutFile): such commands take "$" as it is, but for ${define} and
    $(language string) references, and know no escapes, so the text goes in
    the first of NSIS's three quote characters that it does not hold."""
    if any(c in text for c in "\r\n") or "${" in text or "$(" in text:
        raise ValueError(f"makensis cannot take {text!r} literally")
    for quote in "\"'`":
        if quote not in text:
            return quote + text + quote
    raise ValueError(f"{text!r} holds all of NSIS's quote characters")


def nsis_run_time(text):
    """`text` for a string that the installer expands when it runs, where "$"
    starts a variable; it goes between double quotes in single quotes."""
    if any(c in text for c in "\r\n\"'`"):
        raise ValueError(f"{text!r} cannot be quoted in an NSIS command line")
    return text.replace("$", "$$")


def nsis_script(compressor, payload, loader, entry, output):
    """A makensis script for a 64-bit silent installer that packs the files
    below `payload` and `loader` with `SetCompressor /SOLID compressor`."""
    if compressor not in NSIS_COMPRESSORS:
        raise ValueError(f"unknown NSIS compressor {compressor!r}")
    # ExecWait takes one string, here in single quotes so that the double
    # quotes around the paths reach the command line; $0 holds the
    # installer's own arguments, passed on as they came.
    command = (f"'\"$PLUGINSDIR\\app\\{LOADER}\" \"$PLUGINSDIR\\app\" "
               f"\"{nsis_run_time(entry)}\" $0'")
    return "\n".join([
        "Unicode true",
        "Target amd64-unicode",
        f"SetCompressor /SOLID {compressor}",
        "SilentInstall silent",
        # Without this a Windows with UAC would ask for elevation.
        "RequestExecutionLevel user",
        'Name "onefile benchmark"',
        f"OutFile {nsis_literal(str(output))}",
        '!include "FileFunc.nsh"',
        "Section",
        "  InitPluginsDir",
        '  SetOutPath "$PLUGINSDIR\\app"',
        f"  File /r {nsis_literal(str(Path(payload) / '*'))}",
        f"  File {nsis_literal(str(loader))}",
        "  ${GetParameters} $0",
        f"  ExecWait {command} $1",
        # Off the folder, which Windows would not remove while it is the
        # current directory.
        '  SetOutPath "$TEMP"',
        "  SetErrorLevel $1",
        "SectionEnd",
        "",
    ])


def caxa_identifier(name):
    """As caxa names an application: the output's name and ten random
    lower-case letters or digits, so that a new build never starts from the
    folder of an older one."""
    alphabet = string.ascii_lowercase + string.digits
    return f"{name}/{''.join(secrets.choice(alphabet) for _ in range(10))}"


def caxa_command(entry):
    """The footer's command: the loader in the unpacked folder, on that folder."""
    return [f"{CAXA_PLACEHOLDER}/{LOADER}", CAXA_PLACEHOLDER, entry]


def write_caxa(stub, archive, output, identifier, command):
    """Writes a caxa executable: `stub`, the gzip-compressed tar `archive`,
    "\\n" and the footer."""
    stub_bytes = Path(stub).read_bytes()
    if not stub_bytes.endswith(CAXA_ARCHIVE_SEPARATOR):
        raise ValueError(f"{stub} does not end with caxa's archive separator")
    # As caxa writes it (JSON.stringify): no spaces, no line breaks, so the
    # last "\n" of the file is the footer's.
    footer = json.dumps({"identifier": identifier, "command": command, "uncompressionMessage": ""},
                        separators=(",", ":"), ensure_ascii=False)
    with open(output, "wb") as out:
        out.write(stub_bytes)
        with open(archive, "rb") as data:
            shutil.copyfileobj(data, out, 1 << 20)
        out.write(b"\n" + footer.encode("utf-8"))
