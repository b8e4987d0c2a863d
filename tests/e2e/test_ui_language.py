"""A program without an explicit language choice shows its texts in the user's language."""
import os
import tempfile
from pathlib import Path

import pytest

from conftest import run_captured

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("NVPC_BUILD_DIR", ROOT / "build" / "cmake"))


@pytest.mark.parametrize(
    "locale,expected",
    [
        ("ja_JP.UTF-8", "\u30ad\u30e3\u30f3\u30bb\u30eb|T"),
        ("ko_KR.UTF-8", "\ucde8\uc18c|T Setup"),
        ("en_US.UTF-8", "Cancel|T Setup"),
    ],
)
def test_user_locale_selects_the_string_table_language(locale, expected):
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "strings.txt"
        env = dict(os.environ, LC_ALL=locale, LANG=locale)
        # Unix paths are reachable through Wine's Z: drive.
        winpath = "Z:" + str(out).replace("/", "\\")
        proc = run_captured(
            [ROOT / "scripts" / "wine-run", BUILD / "bin" / "ui_tests.exe", "--child", "strings", winpath], env=env)
        assert proc.returncode == 0, proc.stderr
        assert out.read_text(encoding="utf-8") == expected
