"""The page of a campaign: what it holds against the summary, how it is
written, and how it behaves in a real browser (Debian's chromium, driven by
selenium through chromedriver)."""

import base64
import concurrent.futures
import os
import re
import shutil
import struct
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import quendix
from quendix.files import OutputRefused
from quendix.page import recording_section
from quendix_testing import CORNERS, FACES, RAW_SAMPLE, REPO, frames, program, run_quendix, still_rows

pandas = pytest.importorskip("pandas")
pytest.importorskip("matplotlib")

# Names that are markup, or look like it once escaped: each must show as
# the text it is and run nothing.
HOSTILE = ("<script>window.hacked=1<!--.qvx", "<img src=x onerror=window.hacked=2>.qvx", "&amp;.qvx")


def make_campaign(directory):
    """Every kind of fault the summary finds: the faults example (clipped,
    stuck, SEQNO, duplicate, gravity), frames without the marker, jumps, a
    fragment, an empty file, two that cannot be read, and hostile names."""
    generator = program("QUENDIX_GEN", "quendix-gen")
    subprocess.run([sys.executable, str(REPO / "python" / "examples" / "faults.py"), str(directory / "faults")],
                   check=True, stdout=subprocess.DEVNULL)
    for name, options in (("lost.qvx", ["--missing-every", "400"]), ("jump.qvx", ["--jump-every", "900"]),
                          ("fragment.qvx", ["--fragment", "40"])):
        subprocess.run([str(generator), "--frames", "1500", str(directory / name)] + options, check=True)
    (directory / "empty.qvx").write_bytes(b"")
    os.symlink("nowhere", directory / "dangling.qvx")
    os.mkfifo(directory / "fifo.qvx")
    for name in HOSTILE:
        shutil.copy(directory / "faults" / "clean.qvx", directory / name)


@pytest.fixture(scope="module")
def campaign(tmp_path_factory):
    directory = tmp_path_factory.mktemp("campaign")
    make_campaign(directory)
    page = directory.parent / (directory.name + ".html")
    table = quendix.report(directory, page)
    return directory, page, table


# The worn campaign: a sensor turned still in many orientations (its own
# calibration is applied), then left lying for 80 minutes (non-wear at
# RATE), then moved; and the faults example's clean recording.
RATE = 10.0


def worn_rows(rng):
    quiet = np.zeros(int(80 * 60 * RATE), RAW_SAMPLE)
    moving = np.zeros(int(10 * 60 * RATE), RAW_SAMPLE)
    for name in ("AX", "AY", "AZ", "GX", "GY", "GZ"):
        moving[name] = rng.integers(-16000, 16000, len(moving))
    quiet["AZ"] = np.rint(8192 + rng.normal(0, 20, len(quiet)))
    rows = np.concatenate((still_rows(rng, FACES + CORNERS, (0.03, -0.02, 0.04), (1.02, 0.97, 1.01)), quiet,
                           moving))
    rows = rows[:len(rows) // 9 * 9]
    rows["SEQNO"] = np.arange(len(rows)) & 0xFFFF
    return rows


@pytest.fixture(scope="module")
def worn(tmp_path_factory, campaign):
    directory = tmp_path_factory.mktemp("worn")
    rows = worn_rows(np.random.default_rng(34))
    (directory / "worn.qvx").write_bytes(frames([(1 + i // 512 % 510, i % 512) for i in range(len(rows) // 9)],
                                                rows))
    shutil.copy(campaign[0] / "faults" / "clean.qvx", directory / "clean.qvx")
    page = directory.parent / (directory.name + ".html")
    table = quendix.report(directory, page, rate=RATE, calibration=True)
    return directory, page, table


def without_time(page):
    return re.sub(rb"<dt>Made</dt><dd>[^<]*</dd>", b"", page)


def test_the_page_is_the_summary_and_holds_everything(campaign):
    directory, page, table = campaign
    assert table.equals(quendix.summary(directory, quality=True))
    text = page.read_text(encoding="utf-8")
    # Nothing outside the page: no address, every picture inline.
    assert "://" not in text
    assert re.findall(r'(?:src|href)="(?!data:|#)', text) == []
    readable = int((table["error"] == "").sum())
    pictures = re.findall(r'<img class="look" [^>]*width="(\d+)" height="(\d+)" src="data:image/png;base64,'
                          r'([^"]+)"', text)
    assert len(pictures) == readable == len(table) - 2
    for width, height, picture in pictures:
        png = base64.b64decode(picture)
        # Its size, which keeps its room before it is decoded, is its own.
        assert png[:8] == b"\x89PNG\r\n\x1a\n" and png[16:24] == struct.pack(">II", int(width), int(height))
    # One section and one table row per recording, one script: the page's own.
    assert len(re.findall(r'<section id="r\d+"', text)) == len(table)
    summary_table = text[text.index('<table id="campaign">'):]
    assert len(re.findall(r"<tr[ >]", summary_table[:summary_table.index("</table>")])) == len(table) + 1
    assert text.count("<script") == 1 and "<img src=x" not in text
    for name in HOSTILE:
        escaped = name.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
        assert text.count(escaped) >= 3  # the table, the time line, the section
    # What was lost, in the header.
    assert "%d of %d frames without the marker" % (table["missing"].sum(), table["frames"].sum()) in text
    assert "%d: 2 could not be read" % len(table) in text


def test_with_a_rate_and_calibration_the_sections_hold_the_fit_and_the_non_wear(worn):
    directory, page, table = worn
    assert table.equals(quendix.summary(directory, quality=True, rate=RATE, calibration=True))
    text = page.read_text(encoding="utf-8")
    for row in table.itertuples():
        fitted = quendix.calibrate(row.path)
        section = recording_section(row.path, rate=RATE, calibration=True)
        assert section["calibration"] == fitted.to_dict()
        # The non-wear epochs' share of the samples is the summary's share
        # of the epochs, up to the epochs cut by a stretch's ends.
        nonwear = sum(b - a for a, b in section["marks"]["nonwear"])
        assert abs(nonwear - row.nonwear_fraction) < 0.01
        # Its quick look is in seconds, not samples.
        assert section["picture"] != recording_section(row.path, calibration=True)["picture"]
        shown = text[text.index('<section id="r%d"' % (row.Index + 1)):]
        shown = shown[:shown.index("</section>")]
        assert "calibration %s &middot; offset (g) %s" % (
            "applied" if fitted.applied else "not applied: %s" % fitted.reason,
            " ".join("%s&nbsp;%.5f" % axis for axis in zip(("AX", "AY", "AZ"), fitted.offset))) in shown
        assert "nonwear_fraction&nbsp;%.3f" % row.nonwear_fraction in shown
    worn_row = table.loc[table["path"].str.endswith("worn.qvx")].iloc[0]
    assert bool(worn_row["calibrated"]) and worn_row["nonwear_fraction"] > 0.3
    picture = text[text.index('<section id="picture">'):text.index("</svg>")]
    assert picture.count('class="m-nonwear"') == 1 and "non-wear epochs" in text


def test_a_page_made_by_a_pool_is_the_serial_one(campaign):
    directory, page, table = campaign
    pooled = page.with_name("pooled.html")
    with concurrent.futures.ProcessPoolExecutor(2) as executor:
        assert quendix.report(directory, pooled, executor=executor).equals(table)
    assert without_time(pooled.read_bytes()) == without_time(page.read_bytes())


def test_the_page_is_as_private_as_its_recordings_and_written_whole(tmp_path):
    for name, mode in (("a.qvx", 0o640), ("b.qvx", 0o604)):
        shutil.copy(REPO / "examples" / "morning.qvx", tmp_path / name)
        os.chmod(tmp_path / name, mode)
    page = tmp_path / "page.html"
    page.write_text("before")
    os.chmod(page, 0o666)
    old = os.umask(0o022)
    try:
        # Sources walked twice (for the output's check, then the summary),
        # even from an iterator.
        assert len(quendix.report(iter([tmp_path / "a.qvx", tmp_path / "b.qvx"]), page)) == 2
    finally:
        os.umask(old)
    assert page.stat().st_mode & 0o777 == 0o600
    assert page.read_bytes().startswith(b"<!DOCTYPE html>")
    # Refused before anything is read: a directory, one of the recordings.
    for refused in (tmp_path, tmp_path / "a.qvx"):
        with pytest.raises(OutputRefused):
            quendix.report(tmp_path, refused)
    assert (tmp_path / "a.qvx").read_bytes() == (REPO / "examples" / "morning.qvx").read_bytes()
    assert sorted(os.listdir(tmp_path)) == ["a.qvx", "b.qvx", "page.html"]
    # No recording at all is a page too.
    (tmp_path / "none").mkdir()
    assert len(quendix.report(tmp_path / "none", tmp_path / "none.html")) == 0
    assert b"0: 0 could not be read" in (tmp_path / "none.html").read_bytes()


def run(*args):
    return run_quendix(*args, text=True)


def test_the_command_line(campaign, tmp_path):
    directory, _, table = campaign
    page = tmp_path / "p.html"
    done = run("report", "-j", "2", "--rate", "100", "-o", page, directory)
    failing = int(table["quality"].fillna("").ne("").sum())
    assert (done.returncode, done.stdout) == (1, "%d recordings: 2 could not be read, %d fail a quality check; "
                                                 "the page is %s\n" % (len(table), failing, page))
    text = page.read_text(encoding="utf-8")
    assert "rate 100" in text and ">seconds</text>" in text
    clean = directory / "faults" / "clean.qvx"
    done = run("report", "-o", "-", clean)
    assert done.returncode == 0 and done.stdout.startswith("<!DOCTYPE html>") and done.stdout.endswith("</html>\n")
    for args, status in ((["-o", tmp_path], 2), (["-o", clean], 2), (["--rate", "0", "-o", page], 2),
                         (["--rate", "3", "--epoch-seconds", "0.1", "-o", page], 2),
                         (["-o", tmp_path / "nowhere" / "p.html"], 1)):
        done = run("report", *args, clean)
        assert done.returncode == status, done.stderr
        assert done.stdout == ""
    assert os.listdir(tmp_path) == ["p.html"]


# The browser.

def browser(width, height, phone=False):
    """A headless chromium of that window size (a phone's screen with
    `phone`), logging its console and its network; skips the test where it
    cannot run."""
    for path in ("/usr/bin/chromium", "/usr/bin/chromedriver"):
        if not os.access(path, os.X_OK):
            pytest.skip("%s is not installed (Debian: chromium, chromium-driver)" % path)
    webdriver = pytest.importorskip("selenium.webdriver", reason="selenium is not installed (Debian: "
                                                                   "python3-selenium)")
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--disable-gpu", "--window-size=%d,%d" % (width, height),
                     "--disable-dev-shm-usage", "--no-first-run"):
        options.add_argument(argument)
    if os.geteuid() == 0:
        options.add_argument("--no-sandbox")  # chromium's sandbox refuses root
    if phone:
        options.add_experimental_option("mobileEmulation", {"deviceMetrics": {
            "width": width, "height": height, "pixelRatio": 2, "touch": True}})
    options.set_capability("goog:loggingPrefs", {"browser": "ALL", "performance": "ALL"})
    try:
        return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    except Exception as error:  # selenium's errors for a browser that does not start
        pytest.skip("chromium did not start: %s" % str(error).splitlines()[0])


@pytest.fixture(scope="module")
def opened(campaign):
    directory, page, table = campaign
    driver = browser(1280, 1000)
    try:
        driver.get(page.as_uri())
        yield driver, table
    finally:
        driver.quit()


@pytest.fixture(scope="module")
def screenshots(tmp_path_factory):
    """Where the screenshots go for a person to look at: the directory
    QUENDIX_SCREENSHOTS names, or "screenshots" in pytest's base temporary
    directory (which pytest keeps for the last three runs)."""
    directory = Path(os.environ.get("QUENDIX_SCREENSHOTS") or tmp_path_factory.getbasetemp() / "screenshots")
    directory.mkdir(parents=True, exist_ok=True)
    return directory


def visible_rows(driver):
    return driver.execute_script(
        "return Array.from(document.querySelectorAll('#campaign tbody tr'))"
        ".filter(r => r.offsetParent !== null).map(r => r.cells[0].textContent)")


def column(driver, name):
    index = driver.execute_script(
        "return Array.from(document.querySelectorAll('#campaign thead th')).findIndex(h => h.textContent"
        ".replace(/[\\u25B2\\u25BC ]/g, '') === arguments[0])", name)
    assert index >= 0
    return index, driver.execute_script(
        "return Array.from(document.querySelectorAll('#campaign tbody tr')).map(r => r.cells[arguments[0]]"
        ".getAttribute('data-v'))", index)


def loaded_widths(driver):
    """The natural width of each picture of the page once scrolled to, in
    turn (0 for one that does not load within 10 s)."""
    driver.set_script_timeout(120)
    return driver.execute_async_script("""
        var done = arguments[arguments.length - 1];
        (async function () {
          var widths = [];
          for (var image of document.images) {
            image.scrollIntoView();
            for (var k = 0; k < 200 && !(image.complete && image.naturalWidth > 0); k++)
              await new Promise(function (wake) { setTimeout(wake, 50); });
            widths.push(image.complete ? image.naturalWidth : 0);
          }
          window.scrollTo(0, 0);
          done(widths);
        })();""")


def test_the_page_in_a_browser(opened, screenshots):
    from selenium.webdriver.common.by import By

    driver, table = opened
    paths = list(table["path"])
    # Its rows: one per recording, with the summary's values.
    assert visible_rows(driver) == paths
    for name in ("samples", "missing", "gravity_error"):
        _, values = column(driver, name)
        expected = ["" if pandas.isna(v) else repr(float(v)) if name == "gravity_error" else str(int(v))
                    for v in table[name]]
        assert values == expected, name
    # Sorted by a click on a header: ascending, then descending, missing last.
    index, _ = column(driver, "samples")
    header = driver.find_elements(By.CSS_SELECTOR, "#campaign thead th")[index]
    known = table[table["samples"].notna()]
    for order in ("ascending", "descending"):
        header.click()
        _, values = column(driver, "samples")
        numbers = [int(v) for v in values if v]
        assert numbers == sorted(known["samples"], reverse=order == "descending")
        assert values[len(numbers):] == [""] * (len(table) - len(known))
        assert header.get_attribute("aria-sort") == order
    # The switch shows exactly the failing rows.
    failing = set(table.loc[(table["error"] != "") | table["quality"].fillna("").ne(""), "path"])
    driver.find_element(By.ID, "only-failing").click()
    assert sorted(visible_rows(driver)) == sorted(failing) and 0 < len(failing) < len(table)
    driver.find_element(By.ID, "only-failing").click()
    assert len(visible_rows(driver)) == len(table)
    # Every picture loads once scrolled to (they load lazily).
    assert len(driver.find_elements(By.CSS_SELECTOR, "img.look")) == int((table["error"] == "").sum())
    assert min(loaded_widths(driver)) > 0
    # A row's link scrolls to its section.
    last = len(paths)
    driver.find_element(By.CSS_SELECTOR, '#campaign a[href="#r%d"]' % last).click()
    top = driver.execute_script("return document.getElementById('r%d').getBoundingClientRect().top" % last)
    assert abs(top) < 2 and driver.execute_script("return window.scrollY") > 0
    # Names are text, and nothing they hold ran.
    for name in HOSTILE:
        i = [os.path.basename(p) for p in paths].index(name)
        heading = driver.find_element(By.CSS_SELECTOR, "#r%d h3" % (i + 1))
        assert heading.text == "%d %s" % (i + 1, paths[i])
    assert driver.execute_script("return window.hacked === undefined")
    # No message on the console, and no request but the page itself.
    assert driver.get_log("browser") == []
    for entry in driver.get_log("performance"):
        message = entry["message"]
        if '"Network.requestWillBeSent"' in message:
            url = re.search(r'"url":"([^"]*)"', message).group(1)
            assert url.startswith("file://") or url.startswith("data:"), url
    driver.execute_script("window.scrollTo(0, 0)")
    assert driver.save_screenshot(str(screenshots / "report.png"))


def test_the_page_on_a_phone_sized_window(campaign, screenshots):
    _, page, table = campaign
    driver = browser(390, 844, phone=True)
    try:
        driver.get(page.as_uri())
        # The page is no wider than the window: the table scrolls in its box.
        assert driver.execute_script("return window.innerWidth") == 390
        assert driver.execute_script("return document.documentElement.scrollWidth") <= 390
        widths = driver.execute_script("return Array.from(document.images).map(i => i.getBoundingClientRect().right)")
        assert 300 < max(widths) <= 390
        assert driver.get_log("browser") == []
        assert driver.save_screenshot(str(screenshots / "report-phone.png"))
    finally:
        driver.quit()


def test_the_page_with_a_rate_and_calibration_in_a_browser(worn, screenshots):
    from selenium.webdriver.common.by import By

    _, page, table = worn
    driver = browser(1280, 1000)
    try:
        driver.get(page.as_uri())
        # The non-wear stretch is seen on the time line, each section shows
        # its calibration, and the quick looks load.
        seen = driver.execute_script(
            "return Array.from(document.querySelectorAll('svg .m-nonwear')).map(function (mark) {"
            "  var box = mark.getBoundingClientRect();"
            "  return [box.width, document.elementFromPoint(box.x + box.width / 2, box.y + box.height / 2) === mark]})")
        assert len(seen) == 1 and seen[0][0] > 100 and seen[0][1]
        shown = [e.text for e in driver.find_elements(By.CSS_SELECTOR, "section.recording .calibration")]
        assert len(shown) == len(table) and all(t.startswith("calibration ") for t in shown)
        assert "calibration applied" in shown[list(table["path"].str.endswith("worn.qvx")).index(True)]
        loaded = loaded_widths(driver)
        assert len(loaded) == len(table) and min(loaded) > 0
        assert driver.get_log("browser") == []
        assert driver.save_screenshot(str(screenshots / "report-rate-calibration.png"))
    finally:
        driver.quit()
