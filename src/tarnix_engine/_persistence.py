"""Folder and configuration-file helpers shared by every saved index."""

import contextlib
import errno
import json
import os
import secrets
import shutil
import stat
import threading
from collections.abc import Mapping
from pathlib import Path

__all__ = [
    "resolve_directory",
    "write_config",
    "read_config",
    "reject_legacy_pickle",
    "refuse_unnamed_target",
    "stage_folder",
    "commit_folder",
    "discard_folder",
    "refuse_interrupted_swap",
]


def resolve_directory(directory, base_dir=None):
    """Return the folder of a save or load as a ``Path``.

    ``directory`` is taken relative to ``base_dir`` when one is given (an
    absolute ``directory`` stays absolute, as with any path join).  The folder
    is not created: savers create it, loaders must not.
    """
    if directory is None:
        raise TypeError("directory must be a path (str), not None")
    path = Path(directory)
    if base_dir is not None:
        path = Path(base_dir) / path
    return path


def _fsync_directory(folder):
    # Makes the rename itself durable; some file systems refuse, which only
    # weakens durability, never correctness.
    with contextlib.suppress(OSError):
        fd = os.open(folder, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
        try:
            os.fsync(fd)
        finally:
            os.close(fd)


def write_config(path, mapping):
    """Write ``mapping`` to ``path`` as one plain JSON object, atomically.

    The text goes to a temporary file in the same folder, is flushed to disk,
    then renamed over ``path``: a reader sees the old file or the new one,
    never half of one, and a failure leaves the old file as it was.
    """
    if not isinstance(mapping, Mapping):
        raise TypeError(
            f"write_config writes one JSON object: mapping must be a dict, "
            f"not {type(mapping).__name__}"
        )
    path = Path(path)
    # Serialise first, so that a value JSON cannot hold fails before any
    # file is touched.
    text = json.dumps(dict(mapping), indent=2) + "\n"
    # One temporary name per process and thread, so concurrent writers never
    # share one; opened normally, it gets the ordinary permissions.
    tmp = path.with_name(f".{path.name}.{os.getpid()}.{threading.get_ident()}.tmp")
    try:
        with open(tmp, "w", encoding="utf-8") as out:
            out.write(text)
            out.flush()
            os.fsync(out.fileno())
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise
    _fsync_directory(path.parent)


_JSON_KINDS = {
    list: "an array",
    str: "a string",
    int: "a number",
    float: "a number",
    bool: "a boolean",
    type(None): "null",
}


def read_config(path):
    """Return the JSON object stored in ``path`` as a dict.

    A missing file raises ``FileNotFoundError``; a file that is not JSON, or
    whose top level is not an object, raises ``ValueError`` naming the file,
    as does a path that is no regular file (a FIFO would block the read, a
    device never end it), which is never opened.
    """
    if not stat.S_ISREG(os.stat(path).st_mode):
        raise ValueError(f"{str(path)!r} is not a regular file")
    with open(path, encoding="utf-8") as src:
        try:
            value = json.load(src)
        except (json.JSONDecodeError, UnicodeDecodeError) as exc:
            raise ValueError(f"{str(path)!r} is not valid JSON: {exc}") from exc
    if not isinstance(value, dict):
        kind = _JSON_KINDS.get(type(value), type(value).__name__)
        raise ValueError(f"{str(path)!r} must hold a JSON object, not {kind}")
    return value


def reject_legacy_pickle(directory, filename):
    """Refuse a folder whose data exists only as a pickle from an old version.

    The pickle is never opened: unpickling a file runs whatever code it names,
    and index folders are often copied in from elsewhere.
    """
    raise ValueError(
        f"{filename!r} in {str(directory)!r} is a legacy pickle file, which "
        f"this version never reads because unpickling can run arbitrary code; "
        f"rebuild the index and save it again with this version"
    )


# An index folder is written whole into a staging sibling and then put in
# place of the old one, so that an interrupted save never leaves a folder
# whose parts come from two different saves.

_AT_FDCWD = -100
_RENAME_EXCHANGE = 2


def _target(final):
    # A folder reached through a symbolic link is replaced where it lives,
    # so the link stays a link to the saved folder.
    final = Path(final)
    return Path(os.path.realpath(final)) if final.is_symlink() else final


def refuse_unnamed_target(final):
    """Refuse, with ValueError, a save into ".", "..", a root or the current
    folder: a folder is saved beside itself and swapped in, so it needs a
    name of its own in a parent that is not the folder the process works in."""
    final = Path(final)
    name = final.name
    current = name not in ("", ".", "..") and os.path.exists(final) and os.path.samefile(final, os.getcwd())
    if name in ("", ".", "..") or current:
        raise ValueError(
            f"cannot save into {str(final)!r}: it is the current folder, its parent or a root; "
            f"name the folder to save into, e.g. {str(final / 'my_index')!r}"
        )


def stage_folder(final):
    """Create and return an empty staging folder beside ``final``.

    Each save gets a folder of its own name. One left behind by a save that
    died is never removed automatically: it may hold entries that were being
    carried over from the old folder. It becomes the saved folder, so it is
    made like any new folder, with the permissions the umask leaves.
    """
    refuse_unnamed_target(final)
    final = _target(final)
    final.parent.mkdir(parents=True, exist_ok=True)
    for _ in range(100):
        staged = final.parent / f".{final.name}.saving-{secrets.token_hex(6)}"
        try:
            os.mkdir(staged)
        except FileExistsError:
            continue
        return staged
    raise FileExistsError(f"no free staging folder name beside {str(final)!r}")


def _exchange(a, b):
    # Linux swaps two folders atomically; elsewhere, or on file systems that
    # refuse, the caller falls back to two renames.
    import ctypes

    try:
        renameat2 = ctypes.CDLL(None, use_errno=True).renameat2
    except (OSError, AttributeError):
        return False
    return renameat2(_AT_FDCWD, os.fsencode(a), _AT_FDCWD, os.fsencode(b), _RENAME_EXCHANGE) == 0


def commit_folder(staged, final, owned):
    """Put the completely written folder ``staged`` in place of ``final``.

    Entries of the old folder named in ``owned`` belong to the saved index and
    are replaced (or dropped when the new save has none); any other entry is
    carried over untouched, moved one by one into ``staged`` before the swap.

    Where the two folders can be exchanged in one step (Linux), a reader sees
    the old folder or the new one. Elsewhere two renames are needed: the old
    folder first takes a hidden name (``staged`` plus ``.old``), then ``staged``
    takes ``final``. Between the two there is no folder under ``final``; a
    process killed there leaves the complete new folder at ``staged`` and the
    old one at its ``.old`` name, and ``refuse_interrupted_swap`` names them
    when ``final`` is then loaded. A process killed while carrying entries over
    leaves those entries already moved only inside ``staged``, which is never
    removed automatically.
    """
    staged, final = Path(staged), _target(final)
    _sync_tree(staged)
    if not final.is_dir():
        os.rename(staged, final)
        _fsync_directory(final.parent)
        return
    shutil.copymode(final, staged)  # the folder keeps the permissions it had
    carried = []
    # Where the old folder's entries are while the swap runs: carried entries
    # go back there on failure, never into the staging folder the caller
    # discards.
    home = final
    try:
        for entry in final.iterdir():
            if entry.name not in owned and not (staged / entry.name).exists():
                os.rename(entry, staged / entry.name)
                carried.append(entry.name)
        if _exchange(staged, final):
            old = staged
        else:
            old = final.with_name(staged.name + ".old")
            os.rename(final, old)
            home = old
            try:
                os.rename(staged, final)
            except BaseException:
                os.rename(old, final)
                home = final
                raise
    except BaseException:
        # What was carried over goes back to the old folder, since the caller
        # discards the staging folder. If the old folder could not be put
        # back, it stays whole under its retired name.
        for name in reversed(carried):
            with contextlib.suppress(OSError):
                os.rename(staged / name, home / name)
        raise
    _fsync_directory(final.parent)  # the swap itself survives a power loss
    # The save is complete; what is left of the old folder is only clutter.
    shutil.rmtree(old, ignore_errors=True)


def _sync_tree(folder):
    # The new parts reach the disk before the swap makes them visible, so
    # even a power loss cannot leave a swapped-in folder of empty files.
    for root, _, files in os.walk(folder):
        for name in files:
            fd = os.open(os.path.join(root, name), os.O_RDONLY)
            try:
                os.fsync(fd)
            finally:
                os.close(fd)
        _fsync_directory(root)


def discard_folder(staged):
    """Remove a staging folder after a failed save."""
    shutil.rmtree(staged, ignore_errors=True)


def refuse_interrupted_swap(final):
    """Refuse to load a missing ``final`` that a save left mid-swap.

    A save on the two-rename path that died between its renames leaves no
    folder under ``final`` but a complete one beside it: the new folder at its
    staging name when the retired old one is there too, else the old one.
    ``FileNotFoundError`` then names the folder to rename back to ``final``.
    Nothing is moved automatically, and nothing happens when ``final`` exists
    or there is no such sibling (the caller reports the missing folder).
    """
    final = Path(final)
    if os.path.lexists(final):
        return
    parent = final.parent
    prefix = f".{final.name}.saving-"
    try:
        names = sorted(os.listdir(parent))
    except OSError:
        return
    for name in names:
        if not (name.startswith(prefix) and name.endswith(".old")):
            continue
        old = parent / name
        new = parent / name[: -len(".old")]
        if new.is_dir():
            restore, other = new, f"; the folder it replaced is kept as {str(old)!r}"
        elif old.is_dir():
            restore, other = old, ""
        else:
            continue
        raise FileNotFoundError(
            errno.ENOENT,
            f"No folder {str(final)!r}: a save was interrupted while swapping it in; "
            f"the complete folder {str(restore)!r} can be renamed to {str(final)!r} to restore it{other}",
            str(final),
        )
