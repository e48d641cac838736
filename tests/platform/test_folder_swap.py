"""Putting a staged index folder in place of the old one."""

import os

import pytest

from tarnix_engine import _persistence


def _listing(folder):
    return {str(p.relative_to(folder)): p.read_text() for p in sorted(folder.rglob("*")) if p.is_file()}


def test_old_folder_stays_whole_when_it_cannot_be_put_back(tmp_path, monkeypatch):
    final = tmp_path / "idx"
    final.mkdir()
    (final / "index.bin").write_text("old")
    (final / "notes.txt").write_text("the user's own file")
    staged = _persistence.stage_folder(final)
    (staged / "index.bin").write_text("new")

    real_rename = os.rename

    def rename(src, dst):
        # Both placing the new folder and putting the old one back fail.
        if os.fspath(dst) == os.fspath(final):
            raise OSError("injected")
        return real_rename(src, dst)

    monkeypatch.setattr(_persistence, "_exchange", lambda a, b: False)
    monkeypatch.setattr(os, "rename", rename)
    with pytest.raises(OSError, match="injected"):
        _persistence.commit_folder(staged, final, {"index.bin"})
    monkeypatch.undo()
    _persistence.discard_folder(staged)

    # Nothing is lost: the old folder, carried entry included, is under its retired name.
    (retired,) = tmp_path.iterdir()
    assert _listing(retired) == {"index.bin": "old", "notes.txt": "the user's own file"}
