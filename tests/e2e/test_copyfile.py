"""The "/CopyFile" run of NVPCUpdater places a real unpacked update into an installation
folder, exactly as the workflow starts it: one command line with quoted values, two
blanks before "/SEP" and a blank at the end."""
import os
import shutil
import stat
import zipfile
from pathlib import Path

import pytest

from conftest import WINE_RUN, parse_log, run_captured, to_windows_path

PRODUCT = "NVPC01"
MASTER = "master_3"


def manifest(ver, files):
    """files: (name, ipath, type or None)"""
    rows = []
    for name, ipath, kind in files:
        attr = f' type="{kind}"' if kind is not None else ""
        rows.append(f"  <file{attr}><name>{name}</name><ipath>{ipath}</ipath></file>")
    return f'<?xml version="1.0"?>\n<files_info ver="{ver}">\n' + "\n".join(rows) + "\n</files_info>\n"


class Layout:
    """An upgrade folder and an installation folder (with blanks in its path) under tmp."""

    def __init__(self, tmp: Path):
        self.upgrade = tmp / "ProgramData" / PRODUCT / "upgrade"
        self.install = tmp / "Program Files" / "Calderix" / PRODUCT
        self.upgrade.mkdir(parents=True)
        (self.install / "config").mkdir(parents=True)
        self.archive = self.upgrade / "updatefile.zip"
        self.unpack = self.upgrade / "updatefile"

    def install_old(self):
        (self.install / "client.exe").write_bytes(b"old client")
        os.chmod(self.install / "client.exe", stat.S_IREAD)  # read-only for Windows too
        (self.install / "config" / f"{MASTER}.xml").write_text(manifest("1.0.0.1", []))
        (self.install / "config" / f"{PRODUCT}.xml").write_text(manifest("1.0.0.1", []))

    def command_line(self):
        return (f' /DNP "{to_windows_path(self.archive)}" /MML "{MASTER}" /PML "{PRODUCT}" '
                f' /SEP "{to_windows_path(self.install)}" ')


def write_archive(path, entries):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in entries.items():
            z.writestr(name, data)


def run_driver(wine, *args, env=None):
    result = wine.run("nvpc_bench_driver.exe", *args, env=env)
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout.strip()


def run_copyfile(bin_dir, tmp_path, arguments, log_file, env=None, program=None):
    """Starts NVPCUpdater (the build's, or program) with "/CopyFile" and arguments verbatim
    (through a batch file, so the command line reaches the program exactly as written) and
    waits."""
    script = tmp_path / "copyfile.cmd"
    exe = to_windows_path(program or bin_dir / "NVPCUpdater.exe")
    script.write_bytes(f'@"{exe}" /CopyFile{arguments}\r\n@exit /b %ERRORLEVEL%\r\n'.encode())
    environment = dict(os.environ, NVPC_LOG_FILE=to_windows_path(log_file))
    environment.setdefault("DISPLAY", ":91")
    if env:
        environment.update(env)
    proc = run_captured([WINE_RUN, "cmd", "/c", to_windows_path(script)], env=environment, timeout=120)
    return proc.returncode, [line.text for line in parse_log(log_file)]


def moves(texts):
    return [t for t in texts if t.startswith("CUnzipMove::MovefileCust : szSrcFile=")]


def test_copyfile_places_an_unpacked_update(wine, bin_dir, tmp_path, log_file):
    lay = Layout(tmp_path)
    lay.install_old()
    stub = (bin_dir / "InstallerStub.exe").read_bytes()
    record = tmp_path / "prepare-runs.txt"
    write_archive(lay.archive, {
        "client.exe": b"new client " * 1000,
        "core.dll": b"new core",
        "readme.txt": b"read me",
        "prepare.exe": stub,
        f"{MASTER}.xml": manifest("1.0.0.2", [
            ("prepare.exe", "", 1), ("client.exe", "", None), (f"{MASTER}.xml", "config", None),
            ("core.dll", "", "0")]),
        f"{PRODUCT}.xml": manifest("1.0.0.2", [
            (f"{PRODUCT}.xml", "config", None), ("readme.txt", "doc", None), ("client.exe", "other", None)]),
    })
    assert run_driver(wine, "unzip", to_windows_path(lay.archive)).startswith("ok 6 ")
    assert (lay.unpack / "core.dll").read_bytes() == b"new core"

    code, texts = run_copyfile(bin_dir, tmp_path, lay.command_line(), log_file,
                               env={"NVPC_INSTALLER_RECORD": to_windows_path(record)})
    assert code == 0
    assert (lay.install / "client.exe").read_bytes() == b"new client " * 1000
    assert (lay.install / "core.dll").read_bytes() == b"new core"
    assert (lay.install / "doc" / "readme.txt").read_bytes() == b"read me"
    assert not (lay.install / "other").exists()
    assert 'ver="1.0.0.2"' in (lay.install / "config" / f"{MASTER}.xml").read_text()
    assert 'ver="1.0.0.2"' in (lay.install / "config" / f"{PRODUCT}.xml").read_text()
    assert "start=" in record.read_text(encoding="utf-8", errors="replace")
    assert not (lay.install / "prepare.exe").exists()
    # Everything left the unpack folder, which is then removed with the archive.
    assert not lay.archive.exists()
    assert not lay.unpack.exists()

    src, dst = to_windows_path(lay.unpack), to_windows_path(lay.install)
    assert moves(texts) == [
        f"CUnzipMove::MovefileCust : szSrcFile={src}\\client.exe szDestFile={dst}\\client.exe",
        f"CUnzipMove::MovefileCust : szSrcFile={src}\\core.dll szDestFile={dst}\\core.dll",
        f"CUnzipMove::MovefileCust : szSrcFile={src}\\readme.txt szDestFile={dst}\\doc\\readme.txt",
        f"CUnzipMove::MovefileCust : szSrcFile={src}\\{MASTER}.xml szDestFile={dst}\\config\\{MASTER}.xml",
        f"CUnzipMove::MovefileCust : szSrcFile={src}\\{PRODUCT}.xml szDestFile={dst}\\config\\{PRODUCT}.xml",
    ]
    assert f"CUnzipMove::parseXMLFile : GetFileName()=prepare.exe strFile={src}\\prepare.exe" in texts
    assert "ExecuteSync:0" in texts


def test_a_hostile_or_failing_entry_keeps_the_old_manifests(wine, bin_dir, tmp_path, log_file):
    lay = Layout(tmp_path)
    lay.install_old()
    # A file beside the upgrade folder that a ".." name would reach, and one the name
    # would overwrite in the installation folder's parent.
    (lay.upgrade / "secret.txt").write_bytes(b"secret")
    write_archive(lay.archive, {
        "client.exe": b"new client",
        "deep.dll": b"deep",
        f"{MASTER}.xml": manifest("1.0.0.2", [
            ("client.exe", "", None), ("..\\secret.txt", "..", None), ("deep.dll", "a\\b", None),
            (f"{MASTER}.xml", "config", None)]),
        f"{PRODUCT}.xml": manifest("1.0.0.2", [(f"{PRODUCT}.xml", "config", None)]),
    })
    assert run_driver(wine, "unzip", to_windows_path(lay.archive)).startswith("ok 4 ")
    code, texts = run_copyfile(bin_dir, tmp_path, lay.command_line(), log_file)
    assert code == 0
    assert (lay.install / "client.exe").read_bytes() == b"new client"
    assert not (lay.install / "a").exists(), "two missing levels are not created"
    assert not (lay.install.parent / "secret.txt").exists()
    assert (lay.upgrade / "secret.txt").read_bytes() == b"secret"
    assert "CUnzipMove::parseXMLFile : refused name=..\\secret.txt ipath=.." in texts
    # The failed entry keeps the manifests as they were, for the version check to see;
    # the archive and the rest of the unpack folder stay for the next attempt.
    assert 'ver="1.0.0.1"' in (lay.install / "config" / f"{MASTER}.xml").read_text()
    assert 'ver="1.0.0.1"' in (lay.install / "config" / f"{PRODUCT}.xml").read_text()
    assert lay.archive.exists()
    assert (lay.unpack / "deep.dll").exists()
    assert (lay.unpack / f"{MASTER}.xml").exists()


def test_bad_command_lines_change_nothing_and_end_with_zero(bin_dir, tmp_path, log_file):
    lay = Layout(tmp_path)
    lay.install_old()
    lay.archive.write_bytes(b"PK")
    for arguments in ["", " /DNP", f' /DNP "{to_windows_path(lay.archive)}" /MML "" /PML "P" /SEP "C:\\x" ']:
        code, texts = run_copyfile(bin_dir, tmp_path, arguments, log_file)
        assert code == 0
        assert lay.archive.exists()
        assert (lay.install / "client.exe").read_bytes() == b"old client"
        assert any(t.startswith("CUnzipMove::Apply : refused") for t in texts)


def test_download_unpack_and_place_from_a_web_server(wine, bin_dir, tmp_path, log_file, nginx):
    lay = Layout(tmp_path)
    lay.install_old()
    (nginx.root / "patch").mkdir()
    payload = os.urandom(300000)
    write_archive(nginx.root / "patch" / "NVPC01_1.0.0.2.zip", {
        "client.exe": payload,
        f"{MASTER}.xml": manifest("1.0.0.2", [("client.exe", "", None), (f"{MASTER}.xml", "config", None)]),
        f"{PRODUCT}.xml": manifest("1.0.0.2", [(f"{PRODUCT}.xml", "config", None)]),
    })
    out = run_driver(wine, "download", "127.0.0.1", str(nginx.port), "/patch/NVPC01_1.0.0.2.zip",
                     to_windows_path(lay.upgrade))
    assert out.startswith("ok " + to_windows_path(lay.archive) + " ")
    assert run_driver(wine, "unzip", to_windows_path(lay.archive)).startswith("ok 3 ")
    code, _ = run_copyfile(bin_dir, tmp_path, lay.command_line(), log_file)
    assert code == 0
    assert (lay.install / "client.exe").read_bytes() == payload
    assert 'ver="1.0.0.2"' in (lay.install / "config" / f"{PRODUCT}.xml").read_text()
    assert not lay.archive.exists() and not lay.unpack.exists()
    assert any(r.startswith("GET /patch/NVPC01_1%2E0%2E0%2E2%2Ezip HTTP/1.1|HTTP DWONLOADER|200|")
               for r in nginx.requests())


def test_planted_file_links_in_the_unpack_folder_are_neither_read_nor_deleted(wine, bin_dir, tmp_path,
                                                                              log_file):
    lay = Layout(tmp_path)
    lay.install_old()
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "secret.exe").write_bytes(b"outside secret")
    (outside / "shared.dll").write_bytes(b"outside shared")
    write_archive(lay.archive, {
        "client.exe": b"new client",
        "core.dll": b"new core",
        f"{MASTER}.xml": manifest("1.0.0.2", [
            ("client.exe", "", None), ("core.dll", "", None), (f"{MASTER}.xml", "config", None)]),
        f"{PRODUCT}.xml": manifest("1.0.0.2", [(f"{PRODUCT}.xml", "config", None)]),
    })
    assert run_driver(wine, "unzip", to_windows_path(lay.archive)).startswith("ok 4 ")
    # The unpack folder is the user's to write: between the unpack and the elevated
    # placement, the unpacked files become a symbolic link and a second name of files
    # elsewhere.
    (lay.unpack / "client.exe").unlink()
    os.symlink(outside / "secret.exe", lay.unpack / "client.exe")
    (lay.unpack / "core.dll").unlink()
    os.link(outside / "shared.dll", lay.unpack / "core.dll")

    code, texts = run_copyfile(bin_dir, tmp_path, lay.command_line(), log_file)
    assert code == 0
    assert (outside / "secret.exe").read_bytes() == b"outside secret"
    assert (outside / "shared.dll").read_bytes() == b"outside shared"
    assert (lay.install / "client.exe").read_bytes() == b"old client"
    assert not (lay.install / "core.dll").exists()
    # Both entries failed: the old manifests and the archive stay.
    assert 'ver="1.0.0.1"' in (lay.install / "config" / f"{MASTER}.xml").read_text()
    assert 'ver="1.0.0.1"' in (lay.install / "config" / f"{PRODUCT}.xml").read_text()
    assert lay.archive.exists()
    src, dst = to_windows_path(lay.unpack), to_windows_path(lay.install)
    assert [t for t in texts if t.startswith("CUnzipMove::MovefileCust : refused link")] == [
        f"CUnzipMove::MovefileCust : refused link szSrcFile={src}\\client.exe szDestFile={dst}\\client.exe",
        f"CUnzipMove::MovefileCust : refused link szSrcFile={src}\\core.dll szDestFile={dst}\\core.dll",
    ]
    assert not any(p.name.startswith("~nvpc") for p in lay.install.iterdir())


def test_an_update_of_the_running_updater_itself_completes(wine, bin_dir, tmp_path, log_file):
    """The client's folder is the updater's own: the manifest lists the program that runs
    the placement. It is renamed aside while it runs and gone after the next run."""
    lay = Layout(tmp_path)
    lay.install_old()
    for name in ("NVPCUpdater.exe", "Logger.dll"):
        shutil.copy2(bin_dir / name, lay.install / name)
    program = lay.install / "NVPCUpdater.exe"
    new_build = program.read_bytes() + b"\0a newer build"  # still a program that runs
    write_archive(lay.archive, {
        "NVPCUpdater.exe": new_build,
        f"{MASTER}.xml": manifest("1.0.0.2", [("NVPCUpdater.exe", "", None), (f"{MASTER}.xml", "config", None)]),
        f"{PRODUCT}.xml": manifest("1.0.0.2", [(f"{PRODUCT}.xml", "config", None)]),
    })
    assert run_driver(wine, "unzip", to_windows_path(lay.archive)).startswith("ok 3 ")

    code, texts = run_copyfile(bin_dir, tmp_path, lay.command_line(), log_file, program=program)
    assert code == 0
    assert program.read_bytes() == new_build
    assert 'ver="1.0.0.2"' in (lay.install / "config" / f"{MASTER}.xml").read_text()
    assert 'ver="1.0.0.2"' in (lay.install / "config" / f"{PRODUCT}.xml").read_text()
    assert not lay.archive.exists() and not lay.unpack.exists()

    # The next run of the program (no switches: it starts and ends) leaves no old file.
    assert wine.run(program).returncode == 0
    assert [p.name for p in lay.install.iterdir() if p.name.startswith("~nvpc")] == []
    assert (lay.install / "client.exe").read_bytes() == b"old client"
