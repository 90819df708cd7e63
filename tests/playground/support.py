"""Starts and stops the playground server, talks to it, and reads the images it makes.

Python standard library only, so the server tests run anywhere the project builds.
"""
import http.client
import json
import os
import re
import shutil
import struct
import subprocess
import tempfile
import zlib

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), '..', '..'))


def cli_path():
    return os.environ.get('VELMO_CLI', os.path.join(REPO, 'build', 'velmo-image-tools'))


def faultinject_path():
    """The test-only interposer of tests/faultinject/ (faultinject.h), built beside the CLI."""
    return os.environ.get('VELMO_FAULTINJECT', os.path.join(
        os.path.dirname(cli_path()), 'tests', 'libvelmo_faultinject.so'))


class Hold:
    """Holds the server's first open of one path (a call on the plug-in's worker) until the
    test lets it go, through the interposer's FIFOs (see faultinject.h): no timing involved.

    Give env() to the server's environment, then: start the call, held() (True once the
    worker waits at the open, False if the call was answered without reaching it: its
    thread calls answered()), and release()."""

    def __init__(self, path):
        self.folder = tempfile.mkdtemp(prefix='velmo-hold-')
        self.base = os.path.join(self.folder, 'hold')
        os.mkfifo(self.base + '.held')
        os.mkfifo(self.base + '.release')
        self.path = path
        # Read and write ends kept by the test, so that neither side sees an early end.
        self.held_fd = os.open(self.base + '.held', os.O_RDWR)

    def env(self):
        return {'LD_PRELOAD': faultinject_path(), 'VELMO_FAULTINJECT_HOLD': self.path,
                'VELMO_FAULTINJECT_HOLD_FIFO': self.base}

    def held(self):
        return os.read(self.held_fd, 1) == b'h'

    def answered(self):
        fd = os.open(self.base + '.held', os.O_WRONLY | os.O_NONBLOCK)
        os.write(fd, b'a')
        os.close(fd)

    def release(self):
        # Opening blocks until the held open waits on the other end; closing lets it go on.
        os.close(os.open(self.base + '.release', os.O_WRONLY))

    def close(self):
        os.close(self.held_fd)
        shutil.rmtree(self.folder)


class Server:
    """The built `velmo-image-tools playground` on a free port (--port 0)."""

    def __init__(self, root=None, env=None):
        args = [cli_path(), 'playground', '--port', '0']
        if root:
            args += ['--root', root]
        # stderr is left on the terminal, where a sanitizer's report shows.
        self.process = subprocess.Popen(args, stdout=subprocess.PIPE, text=True,
                                        env=dict(os.environ, **(env or {})))
        line = self.process.stdout.readline()
        match = re.fullmatch(r'Open http://127\.0\.0\.1:(\d+)/\?token=([0-9a-f]{64})\n', line)
        if not match:
            self.process.kill()
            raise RuntimeError(f'unexpected first line {line!r}')
        self.port = int(match.group(1))
        self.token = match.group(2)
        # The address to open in a browser: its first load exchanges the token for a cookie.
        self.url = f'http://127.0.0.1:{self.port}/?token={self.token}'
        # What that cookie is to the server, sent with every request made here.
        self.cookie = f'velmo_playground_{self.port}={self.token}'
        # The page knows the folders as /photos, /uploads and /outputs; where they are is told
        # on the terminal only.
        second = self.process.stdout.readline()
        match = re.fullmatch(r'Photos from (.+), outputs in (/.+); Ctrl-C stops\.\n', second)
        if not match:
            self.process.kill()
            raise RuntimeError(f'unexpected second line {second!r}')
        self.outputs_dir = match.group(2)
        self.temp = os.path.dirname(self.outputs_dir)
        self.uploads_dir = os.path.join(self.temp, 'uploads')
        self.info = self.get_json('/api/photos')[1]

    def stop(self):
        self.process.terminate()
        try:
            # Only a server that never stops is killed: the timeout measures nothing.
            self.process.wait(timeout=600)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.process.stdout.close()
        return self.process.returncode

    def request(self, method, path, body=None, headers=None, cookie=True):
        """(status, body bytes). |path| goes on the wire unchanged (no normalisation). The
        server's cookie goes with it unless |cookie| is False or |headers| has its own."""
        headers = dict(headers or {})
        if cookie and 'Cookie' not in headers:
            headers['Cookie'] = self.cookie
        connection = http.client.HTTPConnection('127.0.0.1', self.port, timeout=600)
        try:
            connection.request(method, path, body=body, headers=headers)
            response = connection.getresponse()
            return response.status, response.read()
        finally:
            connection.close()

    def get_json(self, path, headers=None):
        status, body = self.request('GET', path, headers=headers)
        return status, json.loads(body)

    def call(self, method, args, headers=None):
        """(status, answer) of one channel call through /api/call."""
        status, body = self.request('POST', '/api/call', json.dumps({'method': method, 'args': args}),
                                    dict({'Content-Type': 'application/json'}, **(headers or {})))
        return status, json.loads(body)

    def download(self, url):
        status, body = self.request('GET', url)
        assert status == 200, f'{url}: HTTP {status}'
        return body


def image_size(data):
    """(width, height) of PNG or baseline/progressive JPEG bytes."""
    if data.startswith(b'\x89PNG\r\n\x1a\n'):
        return struct.unpack('>II', data[16:24])
    if data.startswith(b'\xff\xd8'):
        i = 2
        while i + 9 < len(data):
            if data[i] != 0xFF:
                i += 1
                continue
            marker = data[i + 1]
            length = struct.unpack('>H', data[i + 2:i + 4])[0]
            if 0xC0 <= marker <= 0xCF and marker not in (0xC4, 0xC8, 0xCC):
                height, width = struct.unpack('>HH', data[i + 5:i + 9])
                return width, height
            i += 2 + length
    raise ValueError('not a PNG or JPEG')


def decode_png(data):
    """(width, height, rows of (r, g, b) tuples) of an 8-bit, non-interlaced PNG."""
    width, height = struct.unpack('>II', data[16:24])
    depth, colour, interlace = data[24], data[25], data[28]
    assert depth == 8 and interlace == 0 and colour in (0, 2, 4, 6), (depth, colour, interlace)
    channels = {0: 1, 2: 3, 4: 2, 6: 4}[colour]
    idat, i = b'', 8
    while i < len(data):
        length, kind = struct.unpack('>I4s', data[i:i + 8])
        if kind == b'IDAT':
            idat += data[i + 8:i + 8 + length]
        i += 12 + length
    raw = zlib.decompress(idat)
    stride = width * channels
    rows, previous = [], bytearray(stride)
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for x in range(stride):
            a = line[x - channels] if x >= channels else 0
            b = previous[x]
            c = previous[x - channels] if x >= channels else 0
            if kind == 1:
                line[x] = (line[x] + a) & 0xFF
            elif kind == 2:
                line[x] = (line[x] + b) & 0xFF
            elif kind == 3:
                line[x] = (line[x] + (a + b) // 2) & 0xFF
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[x] = (line[x] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 0xFF
        previous = line
        if channels >= 3:
            rows.append([tuple(line[x * channels:x * channels + 3]) for x in range(width)])
        else:
            rows.append([(line[x * channels],) * 3 for x in range(width)])
    return width, height, rows


def pixels_of(server, path):
    """Decoded pixels of an image the server wrote, fetched back as a "tile" of the whole file
    (the plug-in is the decoder, so the check needs no imaging library)."""
    status, meta = server.call('metadata', {'path': path})
    assert status == 200 and 'result' in meta, meta
    w, h = meta['result']['width'], meta['result']['height']
    destination = path.rsplit('.', 1)[0] + '-pixels'
    status, answer = server.call('tile', {'path': path, 'destination': destination, 'x': 0, 'y': 0,
                                          'width': w, 'height': h, 'sample': 1})
    assert status == 200 and 'result' in answer, answer
    return decode_png(server.download(answer['url']))


class Results:
    """Counts checks and prints one line per failure and a closing "N passed, N failed"."""

    def __init__(self):
        self.passed = 0
        self.failed = 0

    def check(self, name, condition, detail=''):
        if condition:
            self.passed += 1
        else:
            self.failed += 1
            print(f'FAIL {name} {detail}', flush=True)

    def finish(self, title):
        print(f'{title}: {self.passed} passed, {self.failed} failed', flush=True)
        return 1 if self.failed else 0
