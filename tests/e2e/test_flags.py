"""The hand-off to the live system: which flag is raised, cancelling, and the initramfs
refresh."""

import pytest

from frontend import (INDEX_FILE, NEW_FLAG, OLD_FLAG, SUCCESS, TASK_FILE, run, scenario)

SERVICE = "/usr/lib/systemd/system/rav2ivo-update-initramfs.service"


def version(major, minor="0", build="0"):
    return {"MajorVersion": major, "MinorVersion": minor, "OsBuild": build}


# (id, os_version, flag expected)
VERSIONS = [
    ("20.1070.101.300", version("20", "1070", "101.300"), OLD_FLAG),
    ("20.1070.102.100", version("20", "1070", "102.100"), NEW_FLAG),
    ("20.1070.102 without dot", version("20", "1070", "102"), NEW_FLAG),
    ("20.1070.1000", version("20", "1070", "1000.1"), NEW_FLAG),
    ("20.1070 build not a number", version("20", "1070", "beta.1"), OLD_FLAG),
    ("20.1069", version("20", "1069", "999.9"), OLD_FLAG),
    ("20.1071", version("20", "1071", "1.0"), NEW_FLAG),
    ("19.9999", version("19", "9999", "999"), OLD_FLAG),
    ("21.0", version("21"), NEW_FLAG),
    ("major not a number", version("twenty-five", "2000", "200"), OLD_FLAG),
    ("no version file", None, OLD_FLAG),
    ("empty keys", {}, OLD_FLAG),
]


@pytest.mark.parametrize("case", VERSIONS, ids=[v[0] for v in VERSIONS])
def test_flag_follows_system_version(case):
    _, osv, flag = case
    o = run(scenario("plain", os_version=osv), "-a", "system_restore", collect=["/.flag.d"])
    assert o.code == 0, o
    assert SUCCESS in o.err
    other = OLD_FLAG if flag == NEW_FLAG else NEW_FLAG
    assert o.text(flag) == "" and not o.exists(other)
    if flag == OLD_FLAG:  # the older flag needs no directory
        assert o.files["/.flag.d"] is None and not o.ran("mkdir")


def test_flag_directory_is_made_when_missing():
    o = run(scenario("plain"), "-a", "system_restore")
    assert o.code == 0, o
    assert o.ran("mkdir", "-p", "/.flag.d/") and not o.ran("sudo")  # root needs no sudo
    assert o.ran("touch", NEW_FLAG)


def test_existing_flag_directory_runs_no_mkdir():
    o = run(scenario("plain"), "-a", "system_restore", before=["mkdir /.flag.d"])
    assert o.code == 0, o
    assert not o.ran("mkdir")
    assert o.exists(NEW_FLAG)


def test_flag_that_cannot_be_raised_fails_the_run():
    """A file where the flag directory belongs: the plan is written but no flag exists, so
    success would be a lie."""
    o = run(scenario("plain"), "-a", "system_restore", before=["echo x > /.flag.d"])
    assert o.code == 255, o
    assert "mkdir flagDir failed" in o.err
    assert "The live flag could not be created:" in o.err and NEW_FLAG in o.err
    assert "Configuration successful" not in o.err
    assert not o.exists(OLD_FLAG)
    assert o.json(TASK_FILE)["type"] == "SystemRestore"


def test_old_flag_that_cannot_be_raised_fails_the_run():
    s = scenario("plain", os_version=version("19"))
    o = run(s, "-a", "system_restore", before=["ln -s /nonexistent/dir/flag /live.flag"])
    assert o.code == 255, o
    assert "The live flag could not be created:" in o.err


PENDING = ["mkdir -p /.flag.d", "touch /live.flag /.flag.d/live.flag",
           "echo plan > /recovery/backup/recovery.json", "echo '{}' > /recovery/backup/savePath.json"]

# (id, before lines, exit status, messages, files left)
CANCELS = [
    ("both flags and a plan", PENDING, 0,
     ["cancelBackupOrRestore, cancel liveFlagPath succeed!",
      "cancelBackupOrRestore, cancel liveFlagPathNew succeed!",
      "cancelBackupOrRestore, cancel recoveryJsonPath succeed!"], []),
    ("nothing pending", [], 0, [], []),
    ("only the new flag", ["mkdir /.flag.d", "touch /.flag.d/live.flag"], 0,
     ["cancelBackupOrRestore, cancel liveFlagPathNew succeed!"], []),
    ("old flag cannot be removed",
     ["mkdir -p /live.flag/inside /.flag.d", "touch /.flag.d/live.flag",
      "echo plan > /recovery/backup/recovery.json"], 9,
     ["cancelBackupOrRestore, remove liveFlagPath failed!"], [OLD_FLAG, NEW_FLAG, TASK_FILE]),
    ("new flag cannot be removed",
     ["touch /live.flag", "mkdir -p /.flag.d/live.flag/inside",
      "echo plan > /recovery/backup/recovery.json"], 9,
     ["cancelBackupOrRestore, cancel liveFlagPath succeed!",
      "cancelBackupOrRestore, remove liveFlagPathNew failed!"], [NEW_FLAG, TASK_FILE]),
    ("plan cannot be removed", ["mkdir -p /recovery/backup/recovery.json/x"], 9,
     ["cancelBackupOrRestore, remove failed! recoveryJsonPath:  \"/recovery/backup/"
      "recovery.json\""], [TASK_FILE]),
]


@pytest.mark.parametrize("action", ["cancel_backup", "cancel_restore"])
@pytest.mark.parametrize("case", CANCELS, ids=[c[0] for c in CANCELS])
def test_cancel(case, action):
    _, before, status, messages, left = case
    o = run(scenario("plain"), "-a", action, before=before,
            collect=["/.flag.d", "/recovery/backup"])
    assert o.code == status, o
    for message in messages:
        assert message in o.err, o
    for path in (OLD_FLAG, NEW_FLAG, TASK_FILE):
        assert o.exists(path) == (path in left), path
    if before == PENDING:  # the index, the markers and the flag directory stay
        assert o.exists(INDEX_FILE) and o.files["/.flag.d"] == []
        assert {"boot.info", "_ovd_data.info"} <= set(o.files["/recovery/backup"])
    assert o.out == ""


@pytest.mark.parametrize("fake,kept", [({}, False), ({"exit": 1}, True)],
                         ids=["refresh succeeds", "refresh fails"])
@pytest.mark.parametrize("user", [None, "65534"], ids=["root", "unprivileged"])
def test_update_initramfs(fake, kept, user):
    s = scenario("plain", files={SERVICE: "[Unit]\n"})
    if fake:
        s["programs"] = {"update-initramfs": fake}
    o = run(s, "--ui", "-a", "system_backup", "-p", "/data", collect=[SERVICE], user=user)
    assert o.code == 0, o
    assert o.ran("update-initramfs", "-u")
    # An unprivileged caller cannot remove the file even after a successful refresh.
    assert o.exists(SERVICE) == (kept or user is not None)
    assert o.err == "" and o.out == ""
    assert not o.exists(TASK_FILE) and not o.exists(OLD_FLAG) and not o.exists(NEW_FLAG)


def test_unprivileged_caller_is_refused_in_the_machine():
    o = run(scenario("plain"), "-a", "cancel_backup", user="65534",
            before=["touch /live.flag"])
    assert o.code == 255, o
    assert '"Permission denied"' in o.err
    assert o.exists(OLD_FLAG) and o.calls == []
