"""Message language: the system locale picks the installed catalogue; -l only feeds the task file.

The catalogue checks run on the host (lupdate over the code into a temporary copy). The language
checks run the built tool in the simulated machine, with the compiled zh_CN catalogue placed at
its fixed path inside the sandbox.
"""
import base64
import json
import os
import re
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tests" / "machine"))

TS = REPO / "translations" / "orvik-recovery-tool_zh_CN.ts"
QM_NAME = "orvik-recovery-tool_zh_CN.qm"
QM_DIR = "/usr/share/orvik-recovery-gui/translations/tool"
CONF = "/etc/orvik/system-recovery.conf"
CJK = re.compile("[\u3000-\u303f\u4e00-\u9fff\uff00-\uffef]")

ACTION_LINES = [
    ("manual_backup", "Full Backup\n"),
    ("system_backup", "System Backup\n"),
    ("manual_restore", "Restore from backup files\n"),
    ("system_restore", "Reset to factory settings\n"),
    ("cancel_backup", "Cancel Backup\n"),
    ("cancel_restore", "Cancel Restore\n"),
]
OPTION_LINES = [
    ("--path <directory>", "Real path"),
    ("--format", "Format user data"),
    ("--reboot", "Auto reboot"),
    ("--update-initramfs", "update-initramfs -u"),
]
RETURN_LINES = [
    (" 1 SpaceError       ", "Insufficient disk space\n", ""),
    (" 2 FsError          ", "The file system is not supported for backup. Please select one in "
                            "ext4, btrfs, xfs, reiserfs format.\n", ""),
    (" 3 PathError        ", "Invalid path\n", ""),
    (" 4 LocationError    ", "The storage location cannot be in the source disk.\n", ""),
    (" 5 MD5Error         ", "The backup file is corrupted.\n", ""),
    (" 6 DeviceReadOnly   ", "Cannot back up data to the read-only device\n", ""),
    (" 7 BackupPathError  ", "This directory cannot be used to store backup files, please select "
                            "a different directory.", "\n"),
    (" 8 PartitionEncrypt ", "The system contains encrypted partition, please decrypt it before "
                            "using the backup and restore function.", "\n"),
    (" -1 OtherError    ", "For other errors, please read output messages.", ""),
]
USAGE = (" %1 Action            Path        [Format]\n %1 -a system_backup  -p ~/backup\n"
         " %1 -a manual_restore -p ~/backup\n %1 -a system_restore -f\n %1 -a cancel_backup\n"
         " %1 -a cancel_restore\n\n%2")


def load_catalogue(path):
    """{source: (translation, type attribute of the translation or None)}"""
    messages = {}
    for context in ET.parse(path).iter("context"):
        assert context.findtext("name") == "QObject"
        for message in context.iter("message"):
            translation = message.find("translation")
            messages[message.findtext("source")] = (translation.text or "",
                                                    translation.get("type"))
    return messages


CATALOGUE = load_catalogue(TS)


def placeholders(text):
    return sorted(re.findall(r"%\d", text))


# ---------------------------------------------------------------- the catalogue itself

def test_every_text_is_translated():
    assert CATALOGUE, "empty catalogue"
    for source, (translation, kind) in CATALOGUE.items():
        assert kind is None, "%r is %s" % (source, kind)
        assert CJK.search(translation), "%r is not translated: %r" % (source, translation)
        assert translation.endswith("\n") == source.endswith("\n"), source
        assert "\n" not in translation.rstrip("\n"), source
        assert placeholders(translation) == placeholders(source), source


def test_catalogue_is_what_lupdate_extracts_from_the_code(tmp_path):
    """The committed .ts equals a fresh extraction: no text of the code is missing or stale."""
    lupdate = shutil.which("lupdate")
    assert lupdate, "lupdate (qttools5-dev-tools) is not installed"
    fresh = tmp_path / TS.name
    shutil.copy(TS, fresh)
    subprocess.run([lupdate, "-silent", "-locations", "none", "-no-obsolete",
                    str(REPO / "src" / "tool" / "main"), "-ts", str(fresh)],
                   check=True, capture_output=True)
    extracted = load_catalogue(fresh)
    assert sorted(set(extracted) - set(CATALOGUE)) == [], "texts of the code not in the .ts"
    assert sorted(set(CATALOGUE) - set(extracted)) == [], "texts of the .ts not in the code"
    assert fresh.read_bytes() == TS.read_bytes(), "run the update-translations target"


# ---------------------------------------------------------------- in the simulated machine

def find_qm():
    candidates = []
    if os.environ.get("ORVIK_BUILD_DIR"):
        candidates.append(Path(os.environ["ORVIK_BUILD_DIR"]) / "translations" / QM_NAME)
    if os.environ.get("ORVIK_TOOL"):
        candidates.append(Path(os.environ["ORVIK_TOOL"]).resolve().parents[3] / "translations"
                          / QM_NAME)
    candidates += sorted(REPO.glob("build*/translations/" + QM_NAME),
                         key=lambda p: p.stat().st_mtime, reverse=True)
    for path in candidates:
        if path.is_file():
            return path
    pytest.fail("no compiled %s: build the project first" % QM_NAME)


@pytest.fixture(scope="module")
def install_qm():
    """Shell lines that put the compiled catalogue at its fixed path inside the sandbox.

    The bytes travel inside the command (base64), so the sandbox needs no view of the build
    directory; the alphabet of base64 is safe in single quotes.
    """
    data = base64.b64encode(find_qm().read_bytes()).decode()
    return ["mkdir -p %s" % QM_DIR,
            "printf '%%s' '%s' | base64 -d > %s/%s" % (data, QM_DIR, QM_NAME)]


@pytest.fixture(scope="module")
def simmachine():
    import simmachine as module  # pylint: disable=import-outside-toplevel
    return module


def catalogue_setup(install_qm, installed):
    # Without the catalogue: also remove one the host might carry (the sandbox overlays "/").
    return install_qm if installed else ["rm -f %s/%s" % (QM_DIR, QM_NAME)]


def locale_env(name):
    full = name + ".UTF-8"
    return {"LANG": full, "LC_ALL": full, "LC_MESSAGES": full, "LANGUAGE": name}


def tr(source, translated):
    assert source in CATALOGUE, "%r is not in the catalogue" % source
    return CATALOGUE[source][0] if translated else source


def run(simmachine, scenario, argv, locale, before, collect=(), user=None):
    machine = simmachine.Machine(scenario)
    kwargs = {"collect": list(collect), "before": list(before), "env": locale_env(locale)}
    if user is not None:
        kwargs["user"] = user
    return machine.run(["orvik-recovery-tool"] + argv, **kwargs)


# (system locale, catalogue installed, messages expected in Chinese)
LANGUAGES = [
    pytest.param("zh_CN", True, True, id="zh_CN"),
    pytest.param("fr_FR", True, False, id="fr_FR-no-catalogue"),
    pytest.param("en_US", True, False, id="en_US"),
    pytest.param("zh_CN", False, False, id="zh_CN-not-installed"),
]


def assert_language(text, translated, sources):
    if translated:
        for source in sources:
            if source.strip() not in CATALOGUE[source][0]:
                assert source.strip() not in text, "untranslated %r" % source
    else:
        assert not CJK.search(text), "unexpected translation in:\n" + text


@pytest.mark.parametrize("locale,installed,translated", LANGUAGES)
def test_help_follows_the_system_locale(simmachine, install_qm, locale, installed, translated):
    r = run(simmachine, "plain", ["--help"], locale, catalogue_setup(install_qm, installed))
    assert r.returncode == 0, r.stderr
    out = r.stdout

    # The application description comes out verbatim: usage block and return-value table.
    table = tr("Return value:\n", translated) + " 0 NoError\n" + "".join(
        label + tr(text, translated) + tail for label, text, tail in RETURN_LINES)
    usage = tr("e.g.:\n", translated) + USAGE.replace("%1", "orvik-recovery-tool").replace(
        "%2", table)
    assert usage in out

    # Option descriptions are laid out in columns by the parser.
    assert re.search(r"--action <type>\s+%s$" % re.escape(
        tr("Choose an action type:\n", translated).rstrip("\n")), out, re.M), out
    for label, text in ACTION_LINES:
        assert re.search(r"^\s+%s +%s$" % (label, re.escape(
            tr(text, translated).rstrip("\n"))), out, re.M), label
    for option, text in OPTION_LINES:
        assert re.search(r"%s\s+%s$" % (re.escape(option), re.escape(tr(text, translated))),
                         out, re.M), option
    # The value name of -l is the system locale itself.
    assert re.search(r"--locale <%s>\s+%s$" % (locale, re.escape(
        tr("locale language", translated))), out, re.M), out

    assert_language(out, translated, [t for _, t in ACTION_LINES] + [t for _, t in OPTION_LINES]
                    + [t for _, t, _ in RETURN_LINES] + ["Return value:\n", "e.g.:\n"])


def no_config(simmachine):
    scenario = simmachine.load_scenario("plain")
    scenario["recovery_uuid"] = None
    return scenario


# (scenario maker, arguments, user, exit status, source text, its %1)
REFUSALS = [
    pytest.param(no_config, ["-a", "system_backup", "-p", "/data"], None, 255,
                 "Cannot open %1", CONF, id="no-recovery-config"),
    pytest.param(lambda sm: "plain", ["-a", "manual_restore", "-p", "/no/such/dir"], None, 3,
                 "Path not set or not exists!", None, id="missing-path"),
    pytest.param(lambda sm: "plain", ["-a", "system_backup", "-p", "/data"], "nobody", 255,
                 "Permission denied", None, id="not-root"),
]


@pytest.mark.parametrize("locale,installed,translated", LANGUAGES)
@pytest.mark.parametrize("scenario,argv,user,status,source,arg", REFUSALS)
def test_refusal_follows_the_system_locale(simmachine, install_qm, locale, installed,
                                           translated, scenario, argv, user, status, source,
                                           arg):
    r = run(simmachine, scenario(simmachine), argv, locale,
            catalogue_setup(install_qm, installed), user=user)
    assert r.returncode == status, r.stderr
    expected = tr(source, translated)
    if arg is not None:
        expected = expected.replace("%1", arg)
    assert expected in r.stderr
    assert_language(r.stderr, translated, [source])


def recovery_mount(simmachine):
    scenario = simmachine.load_scenario("plain")
    for device in scenario["devices"]:
        if device.get("uuid") == scenario["recovery_uuid"] and device.get("mount"):
            return device["mount"][0]
    pytest.fail("the plain machine has no mounted recovery partition")


# (system locale, -l value, "locale" of the task file, messages in Chinese)
@pytest.mark.parametrize("locale,option,task_locale,translated", [
    pytest.param("zh_CN", "en_US", "en_US", True, id="zh_CN-system-l-en_US"),
    pytest.param("zh_CN", None, "zh_CN", True, id="zh_CN-system-default"),
    pytest.param("fr_FR", "zh_CN", "zh_CN", False, id="fr_FR-system-l-zh_CN"),
])
def test_locale_option_only_reaches_the_task_file(simmachine, install_qm, locale, option,
                                                  task_locale, translated):
    task = recovery_mount(simmachine).rstrip("/") + "/backup/recovery.json"
    argv = ["-a", "system_restore"] + (["-l", option] if option else [])
    r = run(simmachine, "plain", argv, locale, install_qm, collect=[task])
    assert r.returncode == 0, r.stderr
    source = "Configuration successful, please reboot your system"
    assert tr(source, translated) in r.stderr
    assert_language(r.stderr, translated, [source])
    assert r.files[task] is not None, "no task file written"
    assert json.loads(r.files[task])["locale"] == task_locale


@pytest.mark.parametrize("locale,installed,translated", LANGUAGES)
def test_status_follows_the_system_locale(simmachine, install_qm, locale, installed, translated):
    before = catalogue_setup(install_qm, installed) + ["mkdir -p /.flag.d",
                                                       "touch /.flag.d/live.flag"]
    r = run(simmachine, "plain", ["--status"], locale, before)
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    # Keys and fixed words follow the language; paths stay as they are; one ": " splits.
    assert lines[:4] == [
        tr("Next boot", translated) + ": " + tr("a flag without a task file", translated),
        tr("Flag %1", translated).replace("%1", "/live.flag") + ": " + tr("absent", translated),
        tr("Flag %1", translated).replace("%1", "/.flag.d/live.flag") + ": "
        + tr("raised", translated),
        tr("Flag read at the next boot", translated) + ": /.flag.d/live.flag"]
    assert lines[4:] == [tr("Task file", translated) + ": " + tr("none", translated)]
