"""The vorn_tcam module against what tcam-agent stored: the same entries and counts as
`show --json`, nothing written to shared memory, a consistent read while an agent runs, views
of one namespace that keep their snapshots, and the errors a caller sees (a store that cannot
be used now in show's words, a view whose snapshot was taken away). Each test makes its own namespace with the agent binary
($VORN_TCAM_AGENT) and removes it."""
import hashlib
import json
import os
import struct
import subprocess
import uuid

import pytest

import vorn_tcam

AGENT = os.environ["VORN_TCAM_AGENT"]


def agent(*args, check=True):
    proc = subprocess.run([AGENT, *args], capture_output=True, text=True, timeout=240)
    if check:
        assert proc.returncode == 0, proc.stderr
    return proc


def data_file_digest(ns):
    """A digest of the data file's data regions and where they lie. The data file holds
    everything stored; it is large and sparse, so holes are skipped. The lock file is LMDB's
    coordination area, where every reader (this module too) notes itself while it reads."""
    digest = hashlib.sha256()
    fd = os.open(vorn_tcam.environment_path(ns), os.O_RDONLY)
    try:
        hole = 0
        while True:
            try:
                data = os.lseek(fd, hole, os.SEEK_DATA)
            except OSError:  # no data past `hole`
                break
            hole = os.lseek(fd, data, os.SEEK_HOLE)
            digest.update(str(data).encode() + b":" + os.pread(fd, hole - data, data))
    finally:
        os.close(fd)
    return digest.hexdigest()


@pytest.fixture
def ns():
    name = "pytest-" + uuid.uuid4().hex[:12]
    env_ns = os.environ.pop("VORN_SHM_NAMESPACE", None)
    yield name
    agent("clean", "--namespace", name)
    assert not os.path.exists(vorn_tcam.environment_path(name))
    if env_ns is not None:
        os.environ["VORN_SHM_NAMESPACE"] = env_ns


def test_view_matches_show_and_writes_nothing(ns):
    agent("run", "--generate", "40", "--units", "0,3", "--seed", "5", "--namespace", ns)
    # A restart with a changed state leaves a stored unit 7 beside 0 and 3 on neither side.
    agent("run", "--generate", "40", "--units", "0,7", "--seed", "5", "--mutate", "0.3", "--namespace", ns)
    before = data_file_digest(ns)
    shown = json.loads(agent("show", "--json", "--entries", "--namespace", ns).stdout)

    with vorn_tcam.open(ns) as view:
        assert view.namespace == ns
        assert view.tables() == ["Tcam", "TcamAction"]
        summary = view.summary()
        for table in shown["tables"]:
            name = table["table"]
            assert view.units(name) == [u["unit"] for u in table["units"]]
            for unit in table["units"]:
                assert list(view.entries(name, unit["unit"])) == unit["live"]
                assert list(view.entries(name, unit["unit"], in_deletion=True)) == unit["inDeletion"]
    assert view.closed

    # The summary is show's JSON without the entries.
    for table in shown["tables"]:
        for unit in table["units"]:
            del unit["live"], unit["inDeletion"]
    del shown["truncated"]
    assert summary == shown
    units = {u["unit"]: u for u in summary["tables"][1]["units"]}
    assert units[0]["liveCount"] == 40 and units[7]["liveCount"] == 40
    # Unit 3 was reconciled by the restart: stored, cleared.
    assert units[3]["liveCount"] == 0
    assert data_file_digest(ns) == before


def test_errors(ns):
    with pytest.raises(FileNotFoundError):
        vorn_tcam.open(ns)
    assert not os.path.exists(vorn_tcam.environment_path(ns))
    with pytest.raises(ValueError):
        vorn_tcam.open("../etc")
    agent("run", "--generate", "5", "--units", "1", "--namespace", ns)
    view = vorn_tcam.open(ns)
    with pytest.raises(KeyError):
        view.units("Nope")
    with pytest.raises(KeyError):
        list(view.entries("Tcam", 2))
    action = list(view.entries("TcamAction", 1))
    assert len(action) == 5
    assert set(action[0]["entry"]) == {"actionId", "decapType", "vrf", "inLif", "inLif0Index", "inLif23Index"}
    view.close()
    with pytest.raises(ValueError):
        view.summary()


def test_entries_yield_lazily_by_prefix_and_limit(ns):
    # More entries than one batch: the batches join up in key order, none lost or repeated.
    agent("run", "--generate", "5000", "--units", "0", "--namespace", ns)
    view = vorn_tcam.open(ns)
    entries = view.entries("Tcam", 0)
    assert iter(entries) is entries
    first = next(entries)
    rest = list(entries)
    keys = [first["key"]] + [e["key"] for e in rest]
    assert len(keys) == 5000 and len(set(keys)) == 5000
    assert list(view.entries("Tcam", 0, limit=10)) == [first] + rest[:9]
    assert list(view.entries("Tcam", 0, limit=0)) == []
    prefix = rest[2500]["key"][:-3]
    assert [e["key"] for e in view.entries("Tcam", 0, prefix=prefix)] == [k for k in keys if k.startswith(prefix)]
    assert list(view.entries("Tcam", 0, prefix=prefix, limit=1)) == [e for e in rest if e["key"].startswith(prefix)][:1]
    assert list(view.entries("Tcam", 0, prefix="no such key")) == []
    with pytest.raises(TypeError):
        view.entries("Tcam", 0, limit=-1)
    # An iterator of a closed view raises as the view does, even between batches.
    pending = view.entries("Tcam", 0)
    next(pending)
    view.close()
    with pytest.raises(ValueError, match="closed"):
        next(pending)


def test_snapshot_while_an_agent_writes(ns):
    agent("run", "--generate", "300", "--units", "0", "--namespace", ns)
    running = subprocess.Popen([AGENT, "run", "--generate", "3000", "--units", "0", "--seed", "9",
                                "--namespace", ns], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    reads = 0
    try:
        while running.poll() is None or reads == 0:
            with vorn_tcam.open(ns) as view:
                # Within one snapshot every key entry names an action entry that is stored too:
                # the agent commits an action entry before the key entries that use it.
                actions = {e["entry"]["actionId"] for e in list(view.entries("TcamAction", 0))} \
                    if 0 in view.units("TcamAction") else set()
                keys = list(view.entries("Tcam", 0)) if 0 in view.units("Tcam") else []
                assert {e["entry"]["actionId"] for e in keys} <= actions
                counts = {t["table"]: t["units"] for t in view.summary()["tables"]}
                if keys:
                    assert counts["Tcam"][0]["liveCount"] == len(keys)
            reads += 1
    finally:
        assert running.wait(timeout=240) == 0, running.stderr.read()
    with vorn_tcam.open(ns) as view:
        assert len(list(view.entries("Tcam", 0))) == 3000


def patch_data_version(path, version):
    """Writes `version` into both meta pages of the LMDB data file, as an LMDB of another data
    version would have: the page header (page number and four 16-bit words), then the magic and
    the version; the page size is the first word of the free-page database record."""
    header = struct.calcsize("N") + 8
    with open(path, "r+b") as f:
        f.seek(header + 8 + 2 * struct.calcsize("P"))
        page_size = struct.unpack("=I", f.read(4))[0]
        for page in (0, 1):
            f.seek(page * page_size + header + 4)
            f.write(struct.pack("=I", version))


def test_store_unavailable_raises_with_the_words_of_show(ns):
    agent("run", "--generate", "10", "--units", "0", "--namespace", ns)
    patch_data_version(vorn_tcam.environment_path(ns), 5)
    before = data_file_digest(ns)
    with pytest.raises(vorn_tcam.StoreUnavailableError) as raised:
        vorn_tcam.open(ns)
    assert isinstance(raised.value, RuntimeError)
    shown = agent("show", "--namespace", ns, check=False)
    assert shown.returncode == 6
    assert shown.stderr == "tcam-agent show: " + str(raised.value) + "\n"
    assert "data version 5" in str(raised.value)
    assert data_file_digest(ns) == before
    assert not [f for f in os.listdir("/dev/shm") if f.startswith("vorn-tcam." + ns + ".damaged")]
    patch_data_version(vorn_tcam.environment_path(ns), 1)
    with vorn_tcam.open(ns) as view:
        assert len(list(view.entries("Tcam", 0))) == 10


def test_views_keep_their_snapshots_and_one_taken_away_raises(ns):
    agent("run", "--generate", "300", "--units", "0", "--namespace", ns)
    kept = vorn_tcam.open(ns)
    other = vorn_tcam.open(ns)
    entries = list(kept.entries("Tcam", 0))
    assert list(other.entries("Tcam", 0)) == entries
    other.close()
    # A run that rewrites every entry would reuse the pages of a snapshot nobody holds.
    agent("run", "--generate", "300", "--units", "0", "--seed", "8", "--namespace", ns)
    assert list(kept.entries("Tcam", 0)) == entries
    # Closing any descriptor of the lock file drops the process's record locks on it (LMDB's mark
    # of a live reader among them): the next agent takes the view's reader slot for a dead one's.
    os.close(os.open(vorn_tcam.environment_path(ns) + "-lock", os.O_RDONLY))
    agent("run", "--generate", "300", "--units", "0", "--seed", "4", "--namespace", ns)
    with pytest.raises(RuntimeError, match="no longer held"):
        list(kept.entries("Tcam", 0))
    kept.close()
    with vorn_tcam.open(ns) as view:
        assert list(view.entries("Tcam", 0)) != entries
