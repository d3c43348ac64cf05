#!/usr/bin/python3
"""The web view in a real browser: headless Chromium driven by Selenium against
the real program on its fixed ports (run it in a network namespace of its own).
A few scenarios that share one browser start: the overview follows a unit that
registers while it is open and shows a hostile name as text; a record sent over
the unit link reaches the plot without a reload, under dates; the picture,
alarm and file pages show what units stored; a download equals the file and
paths that lead out are refused. With DC_WEB_SCREENSHOTS=DIR it saves each
page as DIR/web_<page>.png (the README's pictures)."""

import argparse
import base64
import datetime
import gzip
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request
from zoneinfo import ZoneInfo

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

BASE = 'http://127.0.0.1:10078'
HOSTILE = '<img src=x onerror="document.title=1"><script>document.title=2</script>'


class Unit:
    """One unit on the unit link: takes the offered slot and registers a name."""

    def __init__(self, name):
        self.name = name
        self.sock = socket.create_connection(('127.0.0.1', 10079), timeout=10)
        self.buffer = b''
        slot = self.next_message().split()[1]
        self.sock.sendall(f'CS_ADD_NAME {slot} {name}#'.encode('latin-1'))

    def next_message(self):
        while b'#' not in self.buffer:
            self.buffer += self.sock.recv(4096)
        message, self.buffer = self.buffer.split(b'#', 1)
        return message.decode('latin-1')

    def send(self, text):
        self.sock.sendall(f'CS_TEXT {self.name} {text}#'.encode('latin-1'))

    def settle(self):
        self.send('DU_CHECK')
        while self.next_message() != 'CC_TEXT CHECK':
            pass


def short_date(day):  # the C locale's short date, as the program reads it
    return f'{day.month}/{day.day}/{day.year % 100:02d}'


def wait(driver, condition, what, seconds=15):
    WebDriverWait(driver, seconds, poll_frequency=0.1).until(
        lambda d: condition(d), message=what)


def texts(driver, selector):  # read at one moment: the pages redraw while we look
    return driver.execute_script(
        'return [...document.querySelectorAll(arguments[0])].map((e) => e.textContent);', selector)


def fetch(driver, path):
    """Status and body (base64) of a GET made by the page itself."""
    return driver.execute_async_script('''
        const done = arguments[arguments.length - 1];
        fetch(arguments[0]).then(async (r) => {
          const bytes = new Uint8Array(await r.arrayBuffer());
          let text = '';
          for (const b of bytes) text += String.fromCharCode(b);
          done([r.status, btoa(text)]);
        });''', path)


def screenshot(driver, page):
    folder = os.environ.get('DC_WEB_SCREENSHOTS')
    if folder:
        driver.save_screenshot(os.path.join(folder, f'web_{page}.png'))


def overview_follows_units_and_shows_names_as_text(driver, units):
    driver.get(BASE + '/')
    wait(driver, lambda d: texts(d, '#ports tbody td')[3:4] == ['serving'], 'ports shown')
    units.append(Unit('SU1'))
    units.append(Unit(HOSTILE))
    wait(driver, lambda d: sorted(texts(d, '#units li')) == sorted(['SU1', HOSTILE]),
         'both units listed without a reload')
    assert driver.find_elements(By.CSS_SELECTOR, '#units img, #units script') == []
    assert driver.title == 'Overview - DataController', driver.title
    assert driver.find_element(By.ID, 'count').text == '2'


def record_reaches_the_plot_under_dates(driver, unit, tree):
    today = datetime.date.today()
    unit.send(f'DU_SAVELOG T1 {short_date(today - datetime.timedelta(days=2))} 06:00 21.5')
    unit.send(f'DU_SAVELOG T1 {short_date(today - datetime.timedelta(days=1))} 18:00 23')
    unit.settle()
    driver.get(BASE + '/sensors')
    wait(driver, lambda d: 'SU1' in texts(d, '#unit option'), 'unit listed')
    Select(driver.find_element(By.ID, 'unit')).select_by_visible_text('SU1')
    wait(driver, lambda d: d.find_elements(By.CSS_SELECTOR, '#sensors input'), 'sensors listed')
    driver.find_element(By.CSS_SELECTOR, '#sensors input[value="T1"]').click()
    wait(driver, lambda d: d.find_elements(By.CSS_SELECTOR, '.dygraph-axis-label-y'), 'plot drawn')
    assert max(float(t) for t in texts(driver, '.dygraph-axis-label-y')) < 90
    unit.send(f'DU_SAVELOG T1 {short_date(today)} 00:30 99.5')
    wait(driver, lambda d: max(float(t) for t in texts(d, '.dygraph-axis-label-y')) >= 90,
         'the new record in the plot')
    # Each sensor on its own scale: the axis shows T1's until T2's name is clicked.
    unit.send(f'DU_SAVELOG T2 {short_date(today)} 00:30 5000')
    unit.settle()
    wait(driver, lambda d: d.find_elements(By.CSS_SELECTOR, '#sensors input[value="T2"]'), 'T2')
    driver.find_element(By.CSS_SELECTOR, '#sensors input[value="T2"]').click()
    wait(driver, lambda d: len(texts(d, '#legend span')) == 2, 'two sensors plotted')
    assert max(float(t) for t in texts(driver, '.dygraph-axis-label-y')) < 200
    driver.find_element(By.CSS_SELECTOR, '#legend span[data-sensor="T2"]').click()
    wait(driver, lambda d: max(float(t) for t in texts(d, '.dygraph-axis-label-y')) >= 1000,
         "T2's scale on the axis")
    dates = [t for t in texts(driver, '.dygraph-axis-label-x') if re.search(
        r'\d{1,2}\s*[A-Z][a-z]{2}|[A-Z][a-z]{2}\s*\d{1,2}', t)]
    assert dates, texts(driver, '.dygraph-axis-label-x')
    screenshot(driver, 'sensors')


def pictures_and_alarms_show_what_units_stored(driver, unit, tree):
    jpeg = driver.execute_script('''
        const canvas = document.createElement('canvas');
        canvas.width = 640; canvas.height = 480;
        const g = canvas.getContext('2d');
        g.fillStyle = '#4a7'; g.fillRect(0, 0, 640, 480);
        g.fillStyle = '#fff'; g.font = '64px sans-serif'; g.fillText('cam0', 220, 260);
        return canvas.toDataURL('image/jpeg').split(',')[1];''')
    os.makedirs(os.path.join(tree, 'log/SU1/camera_cam0'))
    with open(os.path.join(tree, 'log/SU1/camera_cam0/pic1.jpg'), 'wb') as out:
        out.write(base64.b64decode(jpeg))
    driver.get(BASE + '/pictures')
    wait(driver, lambda d: any('pic1.jpg' in t for t in texts(d, 'figcaption')), 'caption')
    wait(driver, lambda d: d.execute_script(
        'const i = document.querySelector("figure img"); return i.complete && i.naturalWidth;')
         == 320, 'picture scaled to 320 wide')
    screenshot(driver, 'pictures')
    unit.send('DU_SUALARM <b>fire</b> in hall 2')
    unit.settle()
    driver.get(BASE + '/alarms')
    wait(driver, lambda d: '<b>fire</b> in hall 2' in texts(d, '#alarm-files li'), 'alarm line')
    screenshot(driver, 'alarms')


def files_download_exactly_and_refuse_paths_leading_out(driver, tree):
    os.symlink('/etc', os.path.join(tree, 'log/SU1/out'))
    driver.get(BASE + '/files#log%2FSU1')
    wait(driver, lambda d: 'T1.dat' in texts(d, '#entries a'), 'file listed')
    with open(os.path.join(tree, 'log/SU1/T1.dat'), 'rb') as stored:
        assert fetch(driver, '/download?path=log/SU1/T1.dat') == [
            200, base64.b64encode(stored.read()).decode()]
    screenshot(driver, 'files')
    for path in ['../etc/passwd', '/etc/passwd', 'log/../../etc/passwd', 'log/SU1/out/passwd']:
        status = fetch(driver, '/download?path=' + urllib.parse.quote(path, safe=''))[0]
        assert status == 403, (path, status)
    for path in ['..', '/etc', 'log/SU1/out']:
        driver.get(BASE + '/files#' + urllib.parse.quote(path, safe=''))
        wait(driver, lambda d: 'denied' in d.find_element(By.ID, 'refused').text, path)


def times_show_in_one_zone_the_chosen_one(driver, tree):
    """The data unit runs in Asia/Kathmandu (+05:45), the browser in New York."""
    driver.execute_cdp_cmd('Emulation.setTimezoneOverride', {'timezoneId': 'America/New_York'})
    written = os.stat(os.path.join(tree, 'log/SU1/T1.dat')).st_mtime
    shown = '''return [...document.querySelectorAll('#entries tr')].filter(
        (r) => r.cells[0].textContent === 'T1.dat').map((r) => r.cells[2].textContent)[0] || '';'''
    for choice, zone, name in [('unit', 'Asia/Kathmandu', 'Data unit: Asia/Kathmandu'),
                               ('utc', 'UTC', 'UTC')]:
        driver.execute_script('localStorage.setItem("dc-zone", arguments[0])', choice)
        driver.get(BASE + '/files#log%2FSU1')
        driver.refresh()  # a new hash alone loads nothing
        at = datetime.datetime.fromtimestamp(written, ZoneInfo(zone)).strftime('%Y-%m-%d %H:%M:%S')
        wait(driver, lambda d: d.execute_script(shown).startswith(at), f'{choice}: {at}')
        assert Select(driver.find_element(By.ID, 'zone')).first_selected_option.text == name


def metrics_come_compressed_when_asked():
    request = urllib.request.Request(BASE + '/metrics', headers={'Accept-Encoding': 'br, gzip'})
    with urllib.request.urlopen(request, timeout=5) as answer:
        assert answer.headers['Content-Encoding'] == 'gzip', answer.headers
        assert b'\nprocess_open_fds ' in gzip.decompress(answer.read())


def start_program(binary, tree):
    os.makedirs(os.path.join(tree, 'log'))
    environment = dict(os.environ, QT_QPA_PLATFORM='offscreen', LC_ALL='C', TZ='Asia/Kathmandu')
    program = subprocess.Popen([binary], cwd=tree, env=environment,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        try:
            with urllib.request.urlopen(BASE + '/healthz', timeout=2) as answer:
                if answer.status == 200:
                    return program
        except (urllib.error.URLError, ConnectionError):
            time.sleep(0.1)
    program.kill()
    raise RuntimeError('the program did not serve')


def browser():
    options = Options()
    # No --explicitly-allowed-ports: the default port must open as it is.
    for flag in ['--headless=new', '--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage',
                 '--window-size=1280,800', '--lang=en-US', '--no-proxy-server']:
        options.add_argument(flag)
    options.set_capability('goog:loggingPrefs', {'browser': 'ALL'})
    return webdriver.Chrome(service=Service('/usr/bin/chromedriver'), options=options)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('binary')
    binary = parser.parse_args().binary
    tree = tempfile.mkdtemp(prefix='dc-web-')
    program = start_program(binary, tree)
    driver = browser()
    units = []
    try:
        overview_follows_units_and_shows_names_as_text(driver, units)
        record_reaches_the_plot_under_dates(driver, units[0], tree)
        pictures_and_alarms_show_what_units_stored(driver, units[0], tree)
        driver.get(BASE + '/')
        wait(driver, lambda d: '<b>fire</b> in hall 2' in ' '.join(texts(d, '#commands li')),
             'commands pane')
        screenshot(driver, 'overview')
        files_download_exactly_and_refuse_paths_leading_out(driver, tree)
        times_show_in_one_zone_the_chosen_one(driver, tree)
        metrics_come_compressed_when_asked()
        # The plotting library measures its (unused) legend with a style attribute,
        # which the policy blocks harmlessly; our own pages must need no exception.
        refused = [e['message'] for e in driver.get_log('browser')
                   if 'Content Security Policy' in e['message'] and 'dygraph' not in e['message']]
        assert not refused, refused
        print('web view in the browser: all scenarios passed')
    except Exception:
        for entry in driver.get_log('browser'):
            print('browser:', entry['message'], file=sys.stderr)
        raise
    finally:
        driver.quit()
        program.terminate()
        program.wait(10)
        shutil.rmtree(tree, ignore_errors=True)


if __name__ == '__main__':
    sys.exit(main())
