#!/usr/bin/env python3
"""The playground server under attack from the same machine: another local account without
the token, a folder swapped for a link while a call waits, bodies that decode into far more
than their size, slow clients, work that would hold the worker for minutes, uploads without
end, and the folders of a killed server. Each case is the attack itself; no check measures
time (time-outs only end a hang)."""
import http.client
import json
import os
import pwd
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import zlib

sys.path.insert(0, os.path.dirname(__file__))
from support import REPO, Hold, Results, Server, faultinject_path  # noqa: E402

EXAMPLE = os.path.join(REPO, 'examples', 'landscape_orientation6.jpg')
LONG_PNG = os.path.join(REPO, 'examples', 'long_screenshot.png')


def peak_kib(process):
    """Peak resident memory (VmHWM) of a running process, in KiB."""
    with open(f'/proc/{process.pid}/status') as f:
        for line in f:
            if line.startswith('VmHWM:'):
                return int(line.split()[1])
    raise RuntimeError('no VmHWM')


def send_raw(port, data):
    """Sends |data| on a new connection and returns the status of the answer, or None when the
    server closed the connection first."""
    s = socket.create_connection(('127.0.0.1', port), timeout=600)
    try:
        try:
            s.sendall(data)
        except OSError:
            pass
        reply = b''
        while b'\r\n' not in reply:
            chunk = s.recv(4096)
            if not chunk:
                break
            reply += chunk
        parts = reply.split(b' ', 2)
        return int(parts[1]) if len(parts) > 1 else None
    except OSError:
        return None
    finally:
        s.close()


# ---- only the person who started it -----------------------------------------------------

OTHER_USER_CHILD = r'''
import http.client, json, sys
port, photo, cookie_name = int(sys.argv[1]), sys.argv[2], sys.argv[3]
answers = []
for method, path, body, headers in [
        ('GET', '/api/photos', None, {}),
        ('POST', '/api/call', json.dumps({'method': 'metadata', 'args': {'path': photo}}), {}),
        ('GET', '/out/1', None, {}),
        ('GET', '/app.js', None, {}),
        ('GET', '/?token=' + '0' * 64, None, {}),
        ('GET', '/api/photos', None, {'Cookie': cookie_name + '=' + '0' * 64}),
        ('POST', '/api/upload?name=x', open('/dev/zero', 'rb').read(64), {})]:
    c = http.client.HTTPConnection('127.0.0.1', port, timeout=600)
    c.request(method, path, body=body, headers=headers)
    r = c.getresponse()
    answers.append([method + ' ' + path.split('?')[0], r.status, r.read().decode('latin-1')])
    c.close()
print(json.dumps(answers))
'''


def test_token(results):
    """A photo only its owner may read (0600 in a 0700 folder) under the root; another local
    account reaches the server's port but not the token, and gets 403 for everything."""
    root = tempfile.mkdtemp(prefix='velmo-attack-root-')
    os.chmod(root, 0o755)
    private = os.path.join(root, 'private')
    os.mkdir(private, 0o700)
    photo = os.path.join(private, 'photo.jpg')
    shutil.copy(EXAMPLE, photo)
    os.chmod(photo, 0o600)
    server = Server(root)
    try:
        status, answer = server.call('render', {'path': photo, 'width': 40, 'height': 30,
                                                'destination': server.info['outputs'] + '/mine'})
        results.check('token: the owner renders the private photo', 'result' in answer, answer)
        # Without the cookie, from this account: refused, and the upload not written.
        for method, path in [('GET', '/api/photos'), ('GET', '/'), ('GET', '/app.js'),
                             ('GET', '/out/1'), ('GET', '/?token=' + server.token[:-1] + 'x'),
                             ('POST', '/api/upload?name=x.png')]:
            body = open(LONG_PNG, 'rb').read() if method == 'POST' else None
            status, data = server.request(method, path, body, cookie=False)
            results.check(f'token: {method} {path[:20]} without it is 403', status == 403
                          and b'refused' in data, (status, data[:80]))
        results.check('token: nothing was stored', os.listdir(server.uploads_dir) == [])
        # The owner's page is not told where the server's folders are either.
        status, body = server.request('GET', '/api/photos')
        results.check('token: the page learns no absolute folder of the server',
                      root.encode() not in body and server.temp.encode() not in body, body)
        results.check('token: the photos are named under /photos',
                      b'"/photos/private/photo.jpg"' in body, body)
        status, _ = server.request('GET', server.url[len(f'http://127.0.0.1:{server.port}'):],
                                   cookie=False)
        results.check('token: the printed address opens the page', status == 200, status)

        if os.geteuid() != 0 or not shutil.which('setpriv'):
            print('SKIP token: another local account: needs root and setpriv to run a child as '
                  'nobody', flush=True)
            return
        nobody = pwd.getpwnam('nobody')
        child = subprocess.run(
            ['setpriv', f'--reuid={nobody.pw_uid}', f'--regid={nobody.pw_gid}', '--clear-groups',
             sys.executable, '-c', OTHER_USER_CHILD, str(server.port), photo,
             f'velmo_playground_{server.port}'],
            capture_output=True, text=True, timeout=600, cwd='/')
        results.check('token: the child ran as nobody', child.returncode == 0, child.stderr)
        if child.returncode != 0:
            return
        answers = json.loads(child.stdout)
        for what, status, body in answers:
            results.check(f'token: nobody is refused {what}', status == 403, (status, body[:80]))
        results.check('token: nobody learns no folder of the server',
                      not any(root in body or '/tmp/velmo-playground' in body
                              for _, _, body in answers), answers)
    finally:
        server.stop()
        shutil.rmtree(root)


def start_held(results, hold, what, call):
    """Runs |call| on a thread of its own, which |hold| stops at the open of its photo.
    Returns the thread and a dict that will hold the call's answer under 'answer'; or None,
    after |what| is checked as failed, when the call is never held."""
    outcome = {}

    def run():
        outcome['answer'] = call()
        hold.answered()

    thread = threading.Thread(target=run)
    thread.start()
    if not hold.held():
        thread.join()
        results.check(what, False, outcome)
        return None
    return thread, outcome


# ---- paths resolved once ---------------------------------------------------------------------

def test_swap(results):
    """A call is held at the open of its photo (tests/faultinject/) after the server checked
    it; meanwhile its folder and its destination's folder are replaced with links to a folder
    outside. The plug-in still reads and writes what was checked."""
    root = os.path.realpath(tempfile.mkdtemp(prefix='velmo-attack-root-'))
    outside = os.path.realpath(tempfile.mkdtemp(prefix='velmo-attack-outside-'))
    os.mkdir(os.path.join(root, 'album'))
    shutil.copy(EXAMPLE, os.path.join(root, 'album', 'photo.jpg'))
    with open(os.path.join(outside, 'photo.jpg'), 'w') as f:
        f.write('a secret of another folder, not an image\n')
    hold = Hold(os.path.join(root, 'album', 'photo.jpg'))
    server = Server(root, hold.env())
    try:
        outputs = server.outputs_dir
        os.mkdir(os.path.join(outputs, 'sub'))
        started = start_held(results, hold, 'swap: the render is held at the open of its photo',
                             lambda: server.call('render', {
                                 'path': os.path.join(root, 'album', 'photo.jpg'),
                                 'destination': os.path.join(outputs, 'sub', 'swapped'),
                                 'width': 90, 'height': 60})[1])
        if started is None:
            return
        thread, finished = started
        os.rename(os.path.join(root, 'album'), os.path.join(root, 'album-checked'))
        os.symlink(outside, os.path.join(root, 'album'))
        os.rename(os.path.join(outputs, 'sub'), os.path.join(outputs, 'sub-checked'))
        os.symlink(outside, os.path.join(outputs, 'sub'))
        hold.release()
        thread.join()
        answer = finished.get('answer', {})
        results.check('swap: the checked photo was read, not the link\'s',
                      'result' in answer and answer['result']['width'] == 90, answer)
        results.check('swap: the file was written into the checked folder',
                      os.path.exists(os.path.join(outputs, 'sub-checked', 'swapped.jpg')),
                      os.listdir(os.path.join(outputs, 'sub-checked')))
        results.check('swap: nothing was written outside', sorted(os.listdir(outside)) ==
                      ['photo.jpg'], os.listdir(outside))
        results.check('swap: the page is told the file by the name it knows',
                      answer.get('result', {}).get('path') == '/outputs/sub/swapped.jpg', answer)
        # Links are refused outright now, also one that stays inside or leads nowhere yet.
        os.symlink(os.path.join(root, 'album-checked', 'photo.jpg'), os.path.join(root, 'in.jpg'))
        os.symlink(os.path.join(root, 'later.jpg'), os.path.join(root, 'dangling.jpg'))
        for name in ['in.jpg', 'dangling.jpg', 'album/photo.jpg']:
            status, answer = server.call('metadata', {'path': os.path.join(root, name)})
            results.check(f'swap: a link is refused: {name}', status == 400, (status, answer))
    finally:
        server.stop()
        hold.close()
        shutil.rmtree(root)
        shutil.rmtree(outside)


# ---- memory --------------------------------------------------------------------------------

def test_memory(results):
    """Bodies whose decoded form is many times their size. The bound, 400 MiB of peak resident
    memory for the whole server, is far below what decoding them would take (a 40 MiB body of
    empty lists: 3.6 GB) and far above what the server needs for its own work."""
    server = Server()
    try:
        lists = b'{"method": "metadata", "args": [' + b'[],' * 300000 + b'[]]}'
        status, answer = server.request('POST', '/api/call', lists)
        results.check('memory: 900 KiB of empty lists is refused for their number', status == 413
                      and b'JSON values' in answer, (status, answer[:100]))
        big = b'{"method": "metadata", "args": [' + b'[],' * ((40 << 20) // 3) + b'[]]}'
        status = send_raw(server.port, (
            f'POST /api/call HTTP/1.1\r\nHost: 127.0.0.1:{server.port}\r\n'
            f'Cookie: {server.cookie}\r\nContent-Type: application/json\r\n'
            f'Content-Length: {len(big)}\r\n\r\n').encode() + big)
        # Refused as too long (413) or as a body the server stopped reading (400, or closed).
        results.check('memory: a 40 MiB body of empty lists is refused',
                      status in (400, 413, None),
                      status)
        status, answer = server.call('metadata', {'path': EXAMPLE})
        results.check('memory: the server still answers', 'result' in answer, answer)
        peak = peak_kib(server.process)
        results.check('memory: peak resident memory stays under 400 MiB', peak < 400 << 10,
                      f'{peak} KiB')
    finally:
        server.stop()


# ---- slow clients --------------------------------------------------------------------------

def test_slow_clients(results):
    """Sixteen connections that send a request a byte at a time, never finishing it, while a
    normal request is made and the server is stopped."""
    server = Server()
    slow = []
    stop = threading.Event()
    try:
        for _ in range(16):
            s = socket.create_connection(('127.0.0.1', server.port), timeout=600)
            s.sendall(b'GET / HTTP/1.1\r\n')
            slow.append(s)

        def trickle():
            while not stop.wait(1):
                for s in slow:
                    try:
                        s.sendall(b'X')
                    except OSError:
                        pass

        feeder = threading.Thread(target=trickle, daemon=True)
        feeder.start()
        status, answer = server.call('metadata', {'path': EXAMPLE})
        results.check('slow clients: a normal request is answered', status == 200 and
                      'result' in answer, (status, answer))
        returncode = server.stop()
        results.check('slow clients: SIGTERM ends the server while they are connected',
                      returncode == 0, returncode)
    finally:
        stop.set()
        for s in slow:
            s.close()
        if server.process.poll() is None:
            server.stop()


# ---- work forwarded ------------------------------------------------------------------------

def test_work_limits(results):
    server = Server()
    try:
        outputs = server.info['outputs']
        base = {'path': EXAMPLE, 'destination': outputs + '/big', 'width': 400, 'height': 300}
        line = [[i / 4000, (i % 7) / 7] for i in range(4000)]
        cases = [
            ('one stroke of 4,000 points', dict(base, recipe={'strokes': [{'points': line}]})),
            ('101 strokes', dict(base, recipe={'strokes': [{'points': [[0, 0], [1, 1]]}] * 101})),
            ('an output of 4000 x 4000', dict(base, width=4000, height=4000)),
        ]
        for name, args in cases:
            status, answer = server.call('render', args)
            results.check(f'limits: refused: {name}', status == 413 and 'refused' in answer,
                          (status, answer))
        status, answer = server.call('tile', {'path': LONG_PNG, 'destination': outputs + '/t',
                                              'x': 0, 'y': 0, 'width': 100000, 'height': 100000,
                                              'sample': 1})
        results.check('limits: refused: a tile of 10^10 pixels', status == 413, (status, answer))
        ok = dict(base, recipe={'strokes': [{'points': line[:1000]}] * 2})
        status, answer = server.call('render', ok)
        results.check('limits: 2,000 points in two strokes are drawn', 'result' in answer, answer)
        results.check('limits: nothing else was written', sorted(os.listdir(server.outputs_dir))
                      == ['big.jpg'], os.listdir(server.outputs_dir))
    finally:
        server.stop()


def test_page_gone(results):
    """A call whose page closes its connection while the worker is held by an earlier call is
    dropped without running; a call after it runs."""
    root = os.path.realpath(tempfile.mkdtemp(prefix='velmo-attack-root-'))
    shutil.copy(EXAMPLE, os.path.join(root, 'photo.jpg'))
    hold = Hold(os.path.join(root, 'photo.jpg'))
    server = Server(root, hold.env())
    try:
        outputs = server.info['outputs']
        photo = os.path.join(root, 'photo.jpg')
        started = start_held(results, hold, 'page gone: the first call is held',
                             lambda: server.call('metadata', {'path': photo})[1])
        if started is None:
            return
        thread, _ = started
        body = json.dumps({'method': 'render', 'args': {
            'path': photo, 'destination': outputs + '/gone', 'width': 80, 'height': 60}}).encode()
        gone = socket.create_connection(('127.0.0.1', server.port), timeout=600)
        gone.sendall((f'POST /api/call HTTP/1.1\r\nHost: 127.0.0.1:{server.port}\r\n'
                      f'Cookie: {server.cookie}\r\nContent-Length: {len(body)}\r\n\r\n').encode()
                     + body)
        # Waits (no deadline) until the server holds it in line behind the held call.
        while server.get_json('/api/photos')[1].get('callsWaiting', 0) < 2:
            time.sleep(0.05)  # only spares the machine; nothing depends on it
        gone.close()
        hold.release()
        thread.join()
        status, answer = server.call('render', {'path': photo, 'destination': outputs + '/after',
                                                'width': 80, 'height': 60})
        results.check('page gone: the call after it runs', 'result' in answer, answer)
        results.check('page gone: the call of the closed page never ran',
                      not os.path.exists(server.outputs_dir + '/gone.jpg'),
                      os.listdir(server.outputs_dir))
        results.check('page gone: ... and is counted as dropped',
                      server.get_json('/api/photos')[1].get('callsDropped') == 1)
    finally:
        server.stop()
        hold.close()
        shutil.rmtree(root)


# ---- uploads and folders -------------------------------------------------------------------

def padded_png(size):
    """The example PNG with a private ancillary chunk that makes it |size| bytes long."""
    with open(LONG_PNG, 'rb') as f:
        data = f.read()
    pad = size - len(data) - 12
    chunk = struct.pack('>I', pad) + b'vlMo' + b'\0' * pad
    chunk += struct.pack('>I', zlib.crc32(chunk[4:]) & 0xFFFFFFFF)
    return data[:33] + chunk + data[33:]


def test_uploads(results):
    server = Server()
    try:
        uploads = server.uploads_dir
        with open(LONG_PNG, 'rb') as f:
            png = f.read()
        for i in range(20):
            status, _ = server.request('POST', f'/api/upload?name=n{i}.png', png)
        files = sorted(os.listdir(uploads), key=lambda n: int(n.split('-')[1].split('.')[0]))
        results.check('uploads: at most 16 are kept', len(files) == 16, files)
        results.check('uploads: the oldest went first', files[0] == 'upload-5.png', files)
        names = [p['name'] for p in server.get_json('/api/photos')[1]['photos']]
        results.check('uploads: the removed ones are no longer offered',
                      not any(n.startswith('upload 4 ') for n in names), names)
        big = padded_png(39 << 20)
        for i in range(6):
            status, answer = server.request('POST', '/api/upload?name=big.png', big)
            results.check(f'uploads: a 39 MiB image {i} is accepted', status == 200, status)
        total = sum(os.path.getsize(os.path.join(uploads, n)) for n in os.listdir(uploads))
        results.check('uploads: at most 160 MiB are kept in all', total <= 160 << 20, total)
    finally:
        server.stop()


def test_stale_folders(results):
    killed = Server()
    temp = killed.temp
    killed.process.send_signal(signal.SIGKILL)
    killed.process.wait()
    killed.process.stdout.close()
    results.check('stale: a killed server leaves its folder', os.path.isdir(temp))
    server = Server()
    try:
        results.check('stale: the next server removes it', not os.path.exists(temp))
        own = server.temp
        results.check('stale: ... and keeps its own', os.path.isdir(own))
    finally:
        server.stop()


def main():
    if not os.path.exists(faultinject_path()):
        print(f'{faultinject_path()} is missing: build the velmo_faultinject target', flush=True)
        return 1
    http.client.HTTPConnection.debuglevel = 0
    results = Results()
    for test in [test_token, test_swap, test_memory, test_slow_clients, test_work_limits,
                 test_page_gone, test_uploads, test_stale_folders]:
        test(results)
    return results.finish('playground under attack')


if __name__ == '__main__':
    sys.exit(main())
